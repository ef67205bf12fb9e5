#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace fk {

// The recorder's Ethernet address, first octet first (as on the wire).
using MacAddress = std::array<std::uint8_t, 6>;

// Every recorder carries this vendor prefix; the operator types only octets 3 to 5.
inline constexpr MacAddress kRecorderMacPrefix{0x02, 0x5E, 0xA1, 0x00, 0x00, 0x00};

// Whether the MAC carries the recorders' prefix.
constexpr bool IsRecorderMac(const MacAddress& mac) {
    return mac[0] == kRecorderMacPrefix[0] && mac[1] == kRecorderMacPrefix[1] &&
           mac[2] == kRecorderMacPrefix[2];
}

// Reads the hexadecimal text of one MAC box (either letter case, leading zeros allowed). Values
// above 0xFF are refused. On failure the output is left untouched.
bool ParseHexByte(std::string_view text, std::uint32_t& value);

// "02:5e:a1:30:01:01": as ip(8) shows it and as the upload history records it.
std::string FormatMac(const MacAddress& mac);

}  // namespace fk
