#include "net/ipv4.h"

#include <arpa/inet.h>

namespace fk {

Ipv4 ParseDottedQuad(std::string_view text) {
    const std::string copy(text);
    return ntohl(inet_addr(copy.c_str()));
}

std::string FormatDottedQuad(Ipv4 address) {
    char buffer[INET_ADDRSTRLEN] = {};
    in_addr raw{};
    raw.s_addr = htonl(address);
    inet_ntop(AF_INET, &raw, buffer, sizeof buffer);
    return buffer;
}

}  // namespace fk
