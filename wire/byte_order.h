#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fk {

// Network byte order (big-endian) for the packet builders, written and read byte by byte so the
// host's own order never matters; callers check the bounds first.
inline void PutU16(std::span<std::uint8_t> out, std::size_t offset, std::uint16_t value) {
    out[offset] = static_cast<std::uint8_t>(value >> 8);
    out[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void PutU32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value) {
    PutU16(out, offset, static_cast<std::uint16_t>(value >> 16));
    PutU16(out, offset + 2, static_cast<std::uint16_t>(value));
}

inline std::uint16_t ReadU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

}  // namespace fk
