#include "net-helper/request_checks.h"

#include <linux/neighbour.h>
#include <net/if.h>
#include <net/if_arp.h>

#include <algorithm>
#include <cerrno>

#include "net/device_address.h"

namespace fk::nethelper {

int CheckBindPort(std::uint16_t port) {
    return port == 67 || port == 69 ? 0 : EACCES;
}

CardUnfit UploadCardUnfitness(const Card& card) {
    if (card.flags & IFF_LOOPBACK) return CardUnfit::Loopback;
    if (card.flags & IFF_POINTOPOINT) return CardUnfit::PointToPoint;
    if (card.flags & IFF_NOARP) return CardUnfit::NoArp;
    if (card.type != ARPHRD_ETHER || card.addressLength != 6) return CardUnfit::NotEthernet;
    return CardUnfit::None;
}

int CheckEthernetCard(const Card& card) {
    return UploadCardUnfitness(card) == CardUnfit::None ? 0 : EOPNOTSUPP;
}

bool IsRecorderMac(const std::uint8_t (&mac)[6]) {
    return mac[0] == 0x02 && mac[1] == 0x5E && mac[2] == 0xA1;
}

int CheckRecorderMac(const std::uint8_t (&mac)[6]) {
    return IsRecorderMac(mac) ? 0 : EPERM;
}

int CheckSubnetAddress(std::uint32_t address, std::span<const CardAddress> cardAddresses) {
    bool inside = false;
    for (const CardAddress& own : cardAddresses) {
        switch (SubnetPlaceOf(address, own.address, MaskOfPrefix(own.prefixLength))) {
            case SubnetPlace::Inside:
                inside = true;
                break;
            case SubnetPlace::Network:
            case SubnetPlace::Broadcast:
                // Of one subnet of the card, even when another, wider one holds it.
                return EADDRNOTAVAIL;
            case SubnetPlace::OutsideSubnet:
                break;
        }
    }
    return inside ? 0 : EADDRNOTAVAIL;
}

int CheckNotLocal(std::uint32_t address, std::span<const std::uint32_t> localAddresses) {
    return std::find(localAddresses.begin(), localAddresses.end(), address) == localAddresses.end()
               ? 0
               : kHeldByOtherEntry;
}

int CheckNotAGateway(std::uint32_t address, std::span<const std::uint32_t> gateways) {
    return std::find(gateways.begin(), gateways.end(), address) == gateways.end()
               ? 0
               : kHeldByOtherEntry;
}

int CheckExistingEntry(const std::optional<Neighbour>& existing) {
    if (!existing) return 0;
    if (existing->state & (NUD_PERMANENT | NUD_NOARP)) return kHeldByOtherEntry;
    if (!existing->hasMac) return 0;
    return IsRecorderMac(existing->mac) ? 0 : kHeldByOtherEntry;
}

int CheckProbeAnswer(const std::optional<Neighbour>& answer) {
    if (!answer || !answer->hasMac) return 0;
    return IsRecorderMac(answer->mac) ? 0 : kHeldByOtherEntry;
}

bool IsLeftOverEntry(const Neighbour& entry) {
    return entry.protocol == kEntryProtocol && CheckExistingEntry(entry) == 0;
}

}  // namespace fk::nethelper
