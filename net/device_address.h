#pragma once

#include <cstdint>

namespace fk {

// The address given to the recorder: the host's last octet plus one, with 0, 1 and 255 giving 2.
// The first three octets are kept whatever the card's mask. Header-only, so that the network
// helper, which links nothing of the window, applies the very same rule.
constexpr std::uint32_t DeviceAddressFor(std::uint32_t host) {
    const std::uint32_t lastOctet = host & 0xFFu;
    const std::uint32_t deviceOctet = (lastOctet <= 1 || lastOctet == 255) ? 2 : lastOctet + 1;
    return (host & 0xFFFFFF00u) | deviceOctet;
}

}  // namespace fk
