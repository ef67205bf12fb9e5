#include "upgrade/bootp_packet.h"

#include <algorithm>

#include "net/byte_order.h"

namespace fk {

namespace {

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
