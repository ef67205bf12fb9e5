#include "upgrade/transfer_percent.h"

#include <algorithm>

namespace fk {

int TransferPercent(std::uint64_t acknowledgedBlock, std::uint64_t blockTotal) {
    if (blockTotal == 0) return 0;
    const std::uint64_t nextBlock = acknowledgedBlock + 1;
    return static_cast<int>(std::min<std::uint64_t>(nextBlock * 100 / blockTotal, 99));
}

}  // namespace fk
