#pragma once

// The helper's rules, apart from any system call, so that they can be read and tested alone.
// Each returns 0 when the request may go on, otherwise the errno it is refused with.

#include <cstdint>
#include <optional>
#include <span>

#include "net-helper/protocol.h"

namespace fk::nethelper {

// A card as the system describes it.
struct Card {
    std::uint16_t type = 0;         // ARPHRD_*
    std::uint32_t flags = 0;        // IFF_*
    std::size_t addressLength = 0;  // of its link-layer address
};

// One IPv4 address of a card, host byte order.
struct CardAddress {
    std::uint32_t address = 0;
    std::uint8_t prefixLength = 0;
};

// A neighbour entry as the system holds it.
struct Neighbour {
    std::uint16_t state = 0;  // NUD_* bits
    bool hasMac = false;
    std::uint8_t mac[6] = {};
    std::uint8_t protocol = 0;  // NDA_PROTOCOL, 0 when none was given
};

// Only the BOOTP and TFTP server ports.
int CheckBindPort(std::uint16_t port);

// What keeps a card from carrying an upload. Only an Ethernet card resolves addresses one by one:
// on a loopback, point-to-point or NOARP card the kernel keys every entry alike, so an entry
// "for" one address would stand for all, and the recorder's MAC is never used.
enum class CardUnfit { None, Loopback, PointToPoint, NoArp, NotEthernet };
CardUnfit UploadCardUnfitness(const Card& card);

// EOPNOTSUPP for a card that cannot carry an upload.
int CheckEthernetCard(const Card& card);

// A recorder's MAC carries the prefix 02:5E:A1.
bool IsRecorderMac(const std::uint8_t (&mac)[6]);
// Only a recorder's MAC may be bound to an address.
int CheckRecorderMac(const std::uint8_t (&mac)[6]);

// The address must lie inside the subnet of one of the card's own IPv4 addresses, and be the
// network or broadcast address of none of them: a frame to either reaches every device.
int CheckSubnetAddress(std::uint32_t address, std::span<const CardAddress> cardAddresses);

// Neither one of the PC's own addresses (on any card) nor a gateway of the card's routes is a
// recorder's, whether or not the table holds an entry for it now.
int CheckNotLocal(std::uint32_t address, std::span<const std::uint32_t> localAddresses);
int CheckNotAGateway(std::uint32_t address, std::span<const std::uint32_t> gateways);

// An entry may be replaced only when it binds the address to a recorder (this one, or a previous
// recorder whose upload ended) or binds it to nothing yet; never when it is PERMANENT or NOARP, or
// names another device.
int CheckExistingEntry(const std::optional<Neighbour>& existing);

// What a probe of the address heard (the entry its ARP request resolved, none when nobody
// answered): only a recorder may answer, such as one that still holds the address from an earlier
// boot. An entry that was unresolved before the probe proves nothing; the answer decides.
int CheckProbeAnswer(const std::optional<Neighbour>& answer);

// Whether a starting helper deletes the entry: one that FlashKit made and that no fixed entry or
// other device has taken over since.
bool IsLeftOverEntry(const Neighbour& entry);

}  // namespace fk::nethelper
