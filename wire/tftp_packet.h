#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace fk {

inline constexpr std::size_t kTftpBlockSize = 512;
inline constexpr std::size_t kTftpDataHeaderSize = 4;
inline constexpr std::size_t kTftpMaxDataPacket = kTftpDataHeaderSize + kTftpBlockSize;
inline constexpr std::size_t kTftpReceiveBufferSize = 1536;

// What a received datagram is, by its opcode byte. The values are the TFTP opcodes; every
// opcode the server does not know (ERROR included) is Other.
enum class TftpKind : int { Other = 0, ReadRequest = 1, WriteRequest = 2, Data = 3, Ack = 4 };

// Byte 1 alone decides; nothing for a datagram too short to hold an opcode.
std::optional<TftpKind> ParseTftpOpcode(std::span<const std::uint8_t> datagram);

// The file name of a read request: from offset 2 up to the first zero byte, and never past the
// second-to-last byte received (the last one is the place of the terminator).
std::string_view ReadRequestFileName(std::span<const std::uint8_t> datagram);

// The acknowledged block number; nothing for a datagram shorter than an acknowledgement.
std::optional<std::uint16_t> AckBlockNumber(std::span<const std::uint8_t> datagram);

// Writes a DATA packet for block into packet; returns its length (4 + content size).
// The content must fit the packet and be at most one block.
std::size_t BuildDataPacket(std::uint16_t block, std::span<const std::uint8_t> content,
                            std::span<std::uint8_t, kTftpMaxDataPacket> packet);

// RFC 1350's "Unknown transfer ID": the answer to a datagram from a port that is not the
// transfer's.
inline constexpr std::size_t kTftpUnknownTransferIdPacket = 24;
std::size_t BuildUnknownTransferIdError(
    std::span<std::uint8_t, kTftpUnknownTransferIdPacket> packet);

// The kind of image announced in the header block.
enum class ImageKind : std::uint32_t { System = 1, Data = 2 };

// The content of DATA block 1: magic 20 03 04 09, version 1, 0, kind, size, then zeros.
void BuildHeaderBlock(ImageKind kind, std::uint32_t imageSize,
                      std::span<std::uint8_t, kTftpBlockSize> out);

}  // namespace fk
