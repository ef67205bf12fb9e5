#include "net-helper/request_checks.h"

#include <linux/neighbour.h>

#include <algorithm>
#include <cerrno>

#include "net/device_address.h"

namespace fk::nethelper {

int CheckBindPort(std::uint16_t port) {
    return port == 67 || port == 69 ? 0 : EACCES;
}

int CheckRecorderMac(const std::uint8_t (&mac)[6]) {
    return mac[0] == 0x02 && mac[1] == 0x5E && mac[2] == 0xA1 ? 0 : EPERM;
}

int CheckDerivedAddress(std::uint32_t address, std::span<const std::uint32_t> cardAddresses) {
    const bool derived =
        std::any_of(cardAddresses.begin(), cardAddresses.end(),
                    [&](std::uint32_t own) { return DeviceAddressFor(own) == address; });
    return derived ? 0 : EADDRNOTAVAIL;
}

int CheckNotAGateway(std::uint32_t address, std::span<const std::uint32_t> gateways) {
    return std::find(gateways.begin(), gateways.end(), address) == gateways.end()
               ? 0
               : kHeldByOtherEntry;
}

int CheckExistingEntry(const std::optional<Neighbour>& existing, const std::uint8_t (&mac)[6]) {
    if (!existing) return 0;
    if (existing->state & (NUD_PERMANENT | NUD_NOARP)) return kHeldByOtherEntry;
    if (!existing->hasMac) return 0;
    return std::equal(std::begin(mac), std::end(mac), existing->mac) ? 0 : kHeldByOtherEntry;
}

}  // namespace fk::nethelper
