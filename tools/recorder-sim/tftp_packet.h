#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/recorder-sim/byte_order.h"

namespace fk::sim {

inline constexpr std::size_t kTftpBlockSize = 512;

enum class TftpOpcode : std::uint16_t { ReadRequest = 1, WriteRequest, Data, Ack, Error };

// RFC 1350 read request in octet mode, without options (RFC 2347) so the server answers plainly.
std::vector<std::uint8_t> BuildReadRequest(std::string_view fileName);
std::vector<std::uint8_t> BuildAck(std::uint16_t block);
std::vector<std::uint8_t> BuildError(std::uint16_t code, std::string_view message);

struct ServerPacket {
    enum class Kind {
        Data,
        Error,
        Unexpected,  // a well-formed opcode a server does not send to a reading client
        Malformed,   // too short, unknown opcode, oversized DATA or an unterminated error text
    };
    Kind kind = Kind::Malformed;
    std::uint16_t block = 0;  // DATA
    Bytes data;               // DATA content, points into the datagram
    std::uint16_t errorCode = 0;
    std::string errorMessage;
};

ServerPacket ParseServerPacket(Bytes datagram);

}  // namespace fk::sim
