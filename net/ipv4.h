#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fk {

// IPv4 address in host byte order: the first octet of the dotted quad is the most significant byte.
using Ipv4 = std::uint32_t;

// inet_addr() followed by ntohl(): a malformed text gives 0xFFFFFFFF, as the platform parser does.
Ipv4 ParseDottedQuad(std::string_view text);

// inet_ntoa(htonl(address)): decimal octets without leading zeros.
std::string FormatDottedQuad(Ipv4 address);

}  // namespace fk
