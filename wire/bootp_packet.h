#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "net/ipv4.h"
#include "net/mac.h"

namespace fk {

inline constexpr std::size_t kBootpReplySize = 300;
inline constexpr std::size_t kBootpFileFieldSize = 128;
using BootpReply = std::array<std::uint8_t, kBootpReplySize>;

using BootpXid = std::array<std::uint8_t, 4>;
// The xid of the unsolicited replies: no request is answered by them.
inline constexpr BootpXid kAnnounceXid{'F', 'K', 'T', '0'};

// The boot reply (RFC 951 layout), no options, no magic cookie; unsolicited with kAnnounceXid,
// or answering a request with its xid. A boot file name that would leave no terminating zero in
// the file field is cut to 127 bytes; callers refuse such names before.
BootpReply BuildBootpReply(Ipv4 recorder, Ipv4 server, const MacAddress& recorderMac,
                           std::string_view bootFileName, const BootpXid& xid = kAnnounceXid);

// Where a boot reply goes. With the recorder's neighbour entry made: to the recorder's address.
// Where it cannot be made (fallbackMask, the card's mask, is then given), to the card's subnet
// broadcast address with the broadcast flag set (RFC 1542): that frame needs no ARP, and the
// recorder, which has no address yet, takes it. A /31 or /32 has no subnet broadcast address:
// the limited broadcast address serves.
struct BootpDestination {
    Ipv4 address = 0;
    bool broadcast = false;
};
BootpDestination BootpReplyDestination(Ipv4 recorder, Ipv4 server, Ipv4 fallbackMask);

// Sets the broadcast flag of a built reply.
void SetBootpBroadcastFlag(BootpReply& reply);

// A boot request of an Ethernet client, as far as answering it needs.
struct BootpRequest {
    BootpXid xid{};
    MacAddress mac{};
};

// Nothing for a datagram too short to hold the fixed fields, or that is not a boot request from
// a 6-byte Ethernet address.
std::optional<BootpRequest> ParseBootpRequest(std::span<const std::uint8_t> datagram);

}  // namespace fk
