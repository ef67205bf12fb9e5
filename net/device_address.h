#pragma once

#include <cstdint>

namespace fk {

// The address given to the recorder: the host's last octet plus one, with 0, 1 and 255 giving 2.
// The first three octets are kept whatever the card's mask. Header-only, so that the network
// helper, which links nothing of the window, applies the very same rules.
constexpr std::uint32_t DeviceAddressFor(std::uint32_t host) {
    const std::uint32_t lastOctet = host & 0xFFu;
    const std::uint32_t deviceOctet = (lastOctet <= 1 || lastOctet == 255) ? 2 : lastOctet + 1;
    return (host & 0xFFFFFF00u) | deviceOctet;
}

// Where an address falls in the subnet of the host address with this mask. A recorder can only
// be given an address Inside: a frame to the broadcast address reaches every device, and one
// outside the subnet is routed away.
enum class SubnetPlace { Inside, OutsideSubnet, Network, Broadcast };

constexpr SubnetPlace SubnetPlaceOf(std::uint32_t address, std::uint32_t host, std::uint32_t mask) {
    if ((address & mask) != (host & mask)) return SubnetPlace::OutsideSubnet;
    // A /31 has neither a network nor a broadcast address; a /32 has only the host itself.
    if (mask == 0xFFFFFFFEu || mask == 0xFFFFFFFFu) return SubnetPlace::Inside;
    if (address == (host & mask)) return SubnetPlace::Network;
    if (address == ((host & mask) | ~mask)) return SubnetPlace::Broadcast;
    return SubnetPlace::Inside;
}

constexpr std::uint32_t MaskOfPrefix(unsigned prefixLength) {
    return prefixLength == 0 ? 0
                             : ~std::uint32_t{0} << (32 - (prefixLength > 32 ? 32 : prefixLength));
}

}  // namespace fk
