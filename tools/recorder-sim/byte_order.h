#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace fk::sim {

using Bytes = std::span<const std::uint8_t>;

// Network byte order, read and written byte by byte; callers check the bounds first.
inline std::uint16_t ReadU16(Bytes bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

inline std::uint32_t ReadU32(Bytes bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | std::uint32_t{bytes[offset + 3]};
}

inline void AppendU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace fk::sim
