#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/recorder-sim/byte_order.h"

namespace fk::sim {

struct UdpDatagram {
    std::uint32_t source = 0;  // host byte order
    std::uint32_t destination = 0;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    Bytes payload;  // points into the packet given to ParseIpv4Udp
};

// Reads an IPv4 packet that carries UDP, starting at the IP header (a packet socket of type
// SOCK_DGRAM strips the link header). Fragments, other protocols and lengths that do not add up
// are refused. Checksums are not verified: on a veth link the UDP checksum may still be partial.
std::optional<UdpDatagram> ParseIpv4Udp(Bytes packet);

// An IPv4 packet carrying `payload` in UDP, from the IP header on, with its header checksum and
// no UDP checksum (none is allowed over IPv4).
std::vector<std::uint8_t> BuildIpv4Udp(std::uint32_t source, std::uint32_t destination,
                                       std::uint16_t sourcePort, std::uint16_t destinationPort,
                                       Bytes payload);

}  // namespace fk::sim
