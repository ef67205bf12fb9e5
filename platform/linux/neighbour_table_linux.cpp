#include <linux/neighbour.h>

#include <system_error>

#include "net-helper/rtnetlink.h"
#include "platform/neighbour_table.h"
#include "platform/net_privileges.h"

namespace fk::platform {

namespace {

NeighbourResult Outcome(int error) {
    if (error == 0) return {};
    return {false, error, std::error_code(error, std::system_category()).message()};
}

// Changes go through the privileged operations (in-process or by the helper), which keep to
// the recorder's entry; reading the table is open to anyone.
class LinuxNeighbourTable final : public NeighbourTable {
  public:
    NeighbourResult Add(int ifindex, std::uint32_t address,
                        const std::array<std::uint8_t, 6>& mac) override {
        return AddAll(ifindex, std::array{Wanted{address, mac}}).front();
    }
    std::vector<NeighbourResult> AddAll(int ifindex, std::span<const Wanted> entries) override {
        std::vector<NeighbourResult> results;
        for (const int error : AddRecorderNeighbours(ifindex, entries))
            results.push_back(Outcome(error));
        return results;
    }
    NeighbourResult Remove(int ifindex, std::uint32_t address) override {
        return Outcome(RemoveRecorderNeighbour(ifindex, address));
    }
    std::optional<NeighbourEntry> Find(int ifindex, std::uint32_t address) override {
        std::optional<nethelper::Neighbour> found;
        if (nethelper::FindNeighbour(ifindex, address, found) != 0 || !found) return std::nullopt;
        if (!found->hasMac && !(found->state & NUD_PERMANENT)) return std::nullopt;
        NeighbourEntry entry;
        std::copy(std::begin(found->mac), std::end(found->mac), entry.mac.begin());
        entry.permanent = (found->state & (NUD_PERMANENT | NUD_NOARP)) != 0;
        return entry;
    }
};

}  // namespace

std::unique_ptr<NeighbourTable> MakeSystemNeighbourTable() {
    return std::make_unique<LinuxNeighbourTable>();
}

}  // namespace fk::platform
