#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/recorder-sim/byte_order.h"

namespace fk::sim {

inline constexpr std::size_t kHeaderBlockSize = 512;
inline constexpr std::uint32_t kHeaderMagic = 0x20030409;
inline constexpr std::uint32_t kKindSystem = 1, kKindData = 2;

struct ImageHeader {
    std::uint32_t kind = 0;
    std::uint32_t size = 0;
};

// Reads the kind and size of a header block; nullopt unless it is exactly one block long.
std::optional<ImageHeader> ReadImageHeader(Bytes headerBlock);

// Why the header block does not describe the image that followed it (payloadLength bytes), or
// nullopt when it does. expectedKind 0 accepts either kind.
std::optional<std::string> FindHeaderProblem(Bytes headerBlock, std::uint32_t expectedKind,
                                             std::uint64_t payloadLength);

}  // namespace fk::sim
