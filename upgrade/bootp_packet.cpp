#include "upgrade/bootp_packet.h"

#include <algorithm>

namespace fk {

namespace {

void PutU32(BootpReply& packet, std::size_t offset, std::uint32_t value) {
    packet[offset] = static_cast<std::uint8_t>(value >> 24);
    packet[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    packet[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    packet[offset + 3] = static_cast<std::uint8_t>(value);
}

constexpr std::size_t kOp = 0, kHtype = 1, kHlen = 2, kXid = 4, kYiaddr = 16, kSiaddr = 20,
                      kChaddr = 28, kFile = 108;

}  // namespace

BootpReply BuildBootpReply(Ipv4 recorder, Ipv4 server, const MacAddress& recorderMac,
                           std::string_view bootFileName) {
    BootpReply packet{};
    packet[kOp] = 2;     // boot reply
    packet[kHtype] = 1;  // Ethernet
    packet[kHlen] = 6;
    const char xid[] = {'F', 'K', 'T', '0'};
    std::copy(std::begin(xid), std::end(xid), packet.begin() + kXid);
    PutU32(packet, kYiaddr, recorder);
    PutU32(packet, kSiaddr, server);
    std::copy(recorderMac.begin(), recorderMac.end(), packet.begin() + kChaddr);
    // The last byte of the field stays zero: the recorder reads the name up to a terminator.
    const auto nameLength = std::min(bootFileName.size(), kBootpFileFieldSize - 1);
    std::copy_n(bootFileName.begin(), nameLength, packet.begin() + kFile);
    return packet;
}

}  // namespace fk
