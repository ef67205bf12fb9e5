#include "wire/tftp_packet.h"

#include <algorithm>

#include "wire/byte_order.h"

namespace fk {

namespace {

constexpr std::size_t kOpcodeSize = 2;
constexpr std::size_t kAckSize = 4;
constexpr std::uint8_t kDataOpcode = 3;
constexpr std::uint8_t kErrorOpcode = 5;
constexpr std::uint32_t kHeaderMagic = 0x20030409;
constexpr std::uint32_t kHeaderVersion = 1;

}  // namespace

std::optional<TftpKind> ParseTftpOpcode(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kOpcodeSize) return std::nullopt;
    const std::uint8_t opcode = datagram[1];
    if (opcode >= 1 && opcode <= 4) return static_cast<TftpKind>(opcode);
    return TftpKind::Other;
}

std::string_view ReadRequestFileName(std::span<const std::uint8_t> datagram) {
    if (datagram.size() <= kOpcodeSize + 1) return {};
    const auto first = datagram.begin() + kOpcodeSize;
    const auto limit = datagram.end() - 1;
    const auto end = std::find(first, limit, std::uint8_t{0});
    return {reinterpret_cast<const char*>(&*first), static_cast<std::size_t>(end - first)};
}

std::optional<std::uint16_t> AckBlockNumber(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kAckSize) return std::nullopt;
    return ReadU16(datagram, 2);
}

std::size_t BuildDataPacket(std::uint16_t block, std::span<const std::uint8_t> content,
                            std::span<std::uint8_t, kTftpMaxDataPacket> packet) {
    const std::size_t length = std::min(content.size(), kTftpBlockSize);
    packet[0] = 0;
    packet[1] = kDataOpcode;
    PutU16(packet, 2, block);
    // The content may already sit in place (read straight into the packet).
    if (content.data() != packet.data() + kTftpDataHeaderSize) {
        std::copy_n(content.begin(), length, packet.begin() + kTftpDataHeaderSize);
    }
    return kTftpDataHeaderSize + length;
}

std::size_t BuildUnknownTransferIdError(
    std::span<std::uint8_t, kTftpUnknownTransferIdPacket> packet) {
    constexpr std::string_view kMessage = "Unknown transfer ID";
    constexpr std::uint16_t kUnknownTransferId = 5;
    packet[0] = 0;
    packet[1] = kErrorOpcode;
    PutU16(packet, 2, kUnknownTransferId);
    std::copy(kMessage.begin(), kMessage.end(), packet.begin() + 4);
    packet[4 + kMessage.size()] = 0;
    return packet.size();
}

void BuildHeaderBlock(ImageKind kind, std::uint32_t imageSize,
                      std::span<std::uint8_t, kTftpBlockSize> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutU32(out, 0, kHeaderMagic);
    PutU32(out, 4, kHeaderVersion);
    PutU32(out, 12, static_cast<std::uint32_t>(kind));
    PutU32(out, 16, imageSize);
}

}  // namespace fk
