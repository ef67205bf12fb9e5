#pragma once

// What a recorder sends the TFTP server, as bytes.

#include <cstdint>
#include <string>
#include <vector>

namespace fk::testing {

inline std::vector<std::uint8_t> ReadRequest(const std::string& name) {
    std::vector<std::uint8_t> bytes{0, 1};
    bytes.insert(bytes.end(), name.begin(), name.end());
    const std::string mode("\0octet\0", 7);
    bytes.insert(bytes.end(), mode.begin(), mode.end());
    return bytes;
}

inline std::vector<std::uint8_t> Ack(std::uint16_t block) {
    return {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
}

}  // namespace fk::testing
