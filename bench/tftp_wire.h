#pragma once

// What the benchmark's client and ping-pong server share: TFTP constants, big-endian field access
// and the ADDRESS[:PORT] argument.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace fk::bench {

constexpr std::size_t kBlockSize = 512;
constexpr std::size_t kMaxDatagram = 1536;
constexpr std::uint16_t kOpRrq = 1;
constexpr std::uint16_t kOpData = 3;
constexpr std::uint16_t kOpAck = 4;
constexpr std::uint16_t kOpError = 5;
// FlashKit's header block (DATA block 1) starts with this magic and carries the image size at 16.
constexpr std::uint32_t kHeaderMagic = 0x20030409;
constexpr std::size_t kHeaderSizeOffset = 16;

inline std::uint16_t ReadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t ReadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void WriteBe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value & 0xff);
}

inline void WriteBe32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value & 0xff);
}

// "ADDRESS" or "ADDRESS:PORT", IPv4 only; the port defaults to TFTP's 69.
inline std::optional<sockaddr_in> ParseEndpoint(const std::string& text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(69);
    std::string host = text;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        char* end = nullptr;
        const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
        if (colon + 1 == text.size() || *end != '\0' || port < 1 || port > 65535) {
            return std::nullopt;
        }
        address.sin_port = htons(static_cast<std::uint16_t>(port));
    }
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return std::nullopt;
    return address;
}

}  // namespace fk::bench
