#include "wire/bootp_packet.h"

#include <algorithm>

#include "wire/byte_order.h"

namespace fk {

namespace {

constexpr std::size_t kOp = 0, kHtype = 1, kHlen = 2, kXid = 4, kFlags = 10, kYiaddr = 16,
                      kSiaddr = 20, kChaddr = 28, kFile = 108, kVend = 236;

}  // namespace

BootpReply BuildBootpReply(Ipv4 recorder, Ipv4 server, const MacAddress& recorderMac,
                           std::string_view bootFileName, const BootpXid& xid) {
    BootpReply packet{};
    packet[kOp] = 2;     // boot reply
    packet[kHtype] = 1;  // Ethernet
    packet[kHlen] = 6;
    std::copy(xid.begin(), xid.end(), packet.begin() + kXid);
    PutU32(packet, kYiaddr, recorder);
    PutU32(packet, kSiaddr, server);
    std::copy(recorderMac.begin(), recorderMac.end(), packet.begin() + kChaddr);
    // The last byte of the field stays zero: the recorder reads the name up to a terminator.
    const auto nameLength = std::min(bootFileName.size(), kBootpFileFieldSize - 1);
    std::copy_n(bootFileName.begin(), nameLength, packet.begin() + kFile);
    return packet;
}

BootpDestination BootpReplyDestination(Ipv4 recorder, Ipv4 server, Ipv4 fallbackMask) {
    if (fallbackMask == 0) return {recorder, false};
    const Ipv4 hostBits = ~fallbackMask;
    return {hostBits <= 1 ? 0xFFFFFFFFu : (server | hostBits), true};
}

void SetBootpBroadcastFlag(BootpReply& reply) {
    PutU16(reply, kFlags, 0x8000);
}

std::optional<BootpRequest> ParseBootpRequest(std::span<const std::uint8_t> datagram) {
    // Options, if any, follow the fixed fields; nothing of them is needed.
    if (datagram.size() < kVend) return std::nullopt;
    if (datagram[kOp] != 1 || datagram[kHtype] != 1 || datagram[kHlen] != 6) return std::nullopt;
    BootpRequest request;
    std::copy_n(datagram.begin() + kXid, request.xid.size(), request.xid.begin());
    std::copy_n(datagram.begin() + kChaddr, request.mac.size(), request.mac.begin());
    return request;
}

}  // namespace fk
