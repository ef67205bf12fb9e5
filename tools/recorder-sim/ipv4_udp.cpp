#include "tools/recorder-sim/ipv4_udp.h"

namespace fk::sim {

namespace {
constexpr std::size_t kMinIpHeader = 20, kUdpHeader = 8;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint16_t kMoreFragments = 0x2000, kFragmentOffsetMask = 0x1FFF;
}  // namespace

std::optional<UdpDatagram> ParseIpv4Udp(Bytes packet) {
    if (packet.size() < kMinIpHeader) return std::nullopt;
    if (packet[0] >> 4 != 4) return std::nullopt;
    const std::size_t headerLength = std::size_t{packet[0] & 0x0Fu} * 4;
    const std::size_t totalLength = ReadU16(packet, 2);
    // The packet may carry link padding behind the total length, never less than it.
    if (headerLength < kMinIpHeader || totalLength > packet.size() ||
        totalLength < headerLength + kUdpHeader)
        return std::nullopt;
    if ((ReadU16(packet, 6) & (kMoreFragments | kFragmentOffsetMask)) != 0) return std::nullopt;
    if (packet[9] != kProtocolUdp) return std::nullopt;

    const Bytes udp = packet.subspan(headerLength, totalLength - headerLength);
    const std::size_t udpLength = ReadU16(udp, 4);
    if (udpLength < kUdpHeader || udpLength > udp.size()) return std::nullopt;

    UdpDatagram datagram;
    datagram.source = ReadU32(packet, 12);
    datagram.destination = ReadU32(packet, 16);
    datagram.sourcePort = ReadU16(udp, 0);
    datagram.destinationPort = ReadU16(udp, 2);
    datagram.payload = udp.subspan(kUdpHeader, udpLength - kUdpHeader);
    return datagram;
}

std::vector<std::uint8_t> BuildIpv4Udp(std::uint32_t source, std::uint32_t destination,
                                       std::uint16_t sourcePort, std::uint16_t destinationPort,
                                       Bytes payload) {
    constexpr std::uint8_t kTimeToLive = 64;
    const auto udpLength = static_cast<std::uint16_t>(kUdpHeader + payload.size());
    std::vector<std::uint8_t> packet;
    packet.reserve(kMinIpHeader + udpLength);
    packet.insert(packet.end(), {0x45, 0});
    AppendU16(packet, static_cast<std::uint16_t>(kMinIpHeader + udpLength));
    packet.insert(packet.end(), {0, 0, 0, 0, kTimeToLive, kProtocolUdp, 0, 0});
    for (const std::uint32_t address : {source, destination}) {
        AppendU16(packet, static_cast<std::uint16_t>(address >> 16));
        AppendU16(packet, static_cast<std::uint16_t>(address));
    }
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < kMinIpHeader; at += 2) sum += ReadU16(packet, at);
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    const auto checksum = static_cast<std::uint16_t>(~sum);
    packet[10] = static_cast<std::uint8_t>(checksum >> 8);
    packet[11] = static_cast<std::uint8_t>(checksum);
    AppendU16(packet, sourcePort);
    AppendU16(packet, destinationPort);
    AppendU16(packet, udpLength);
    AppendU16(packet, 0);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

}  // namespace fk::sim
