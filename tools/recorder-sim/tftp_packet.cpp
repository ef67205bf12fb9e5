#include "tools/recorder-sim/tftp_packet.h"

#include <algorithm>

namespace fk::sim {

namespace {

void AppendText(std::vector<std::uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

}  // namespace

std::vector<std::uint8_t> BuildReadRequest(std::string_view fileName) {
    std::vector<std::uint8_t> packet;
    AppendU16(packet, static_cast<std::uint16_t>(TftpOpcode::ReadRequest));
    AppendText(packet, fileName);
    AppendText(packet, "octet");
    return packet;
}

std::vector<std::uint8_t> BuildAck(std::uint16_t block) {
    std::vector<std::uint8_t> packet;
    AppendU16(packet, static_cast<std::uint16_t>(TftpOpcode::Ack));
    AppendU16(packet, block);
    return packet;
}

std::vector<std::uint8_t> BuildError(std::uint16_t code, std::string_view message) {
    std::vector<std::uint8_t> packet;
    AppendU16(packet, static_cast<std::uint16_t>(TftpOpcode::Error));
    AppendU16(packet, code);
    AppendText(packet, message);
    return packet;
}

ServerPacket ParseServerPacket(Bytes datagram) {
    ServerPacket packet;
    if (datagram.size() < 4) return packet;
    const auto opcode = ReadU16(datagram, 0);
    switch (static_cast<TftpOpcode>(opcode)) {
        case TftpOpcode::Data:
            if (datagram.size() > 4 + kTftpBlockSize) return packet;
            packet.kind = ServerPacket::Kind::Data;
            packet.block = ReadU16(datagram, 2);
            packet.data = datagram.subspan(4);
            return packet;
        case TftpOpcode::Error: {
            const auto text = datagram.subspan(4);
            const auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
            if (end == text.end()) return packet;
            packet.kind = ServerPacket::Kind::Error;
            packet.errorCode = ReadU16(datagram, 2);
            packet.errorMessage.assign(text.begin(), end);
            return packet;
        }
        case TftpOpcode::ReadRequest:
        case TftpOpcode::WriteRequest:
        case TftpOpcode::Ack:
            packet.kind = ServerPacket::Kind::Unexpected;
            return packet;
    }
    return packet;
}

}  // namespace fk::sim
