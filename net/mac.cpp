#include "net/mac.h"

#include <cstdio>

namespace fk {

bool ParseHexByte(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    std::uint32_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            return false;  // any other character, non-ASCII bytes included
        }
        result = (result << 4) | digit;
        // The value becomes one octet of the MAC address: a larger one would be cut short
        // silently (and a long text would wrap around), so it is refused.
        if (result > 0xFF) return false;
    }
    value = result;
    return true;
}

std::string FormatMac(const MacAddress& mac) {
    char text[18] = {};
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

}  // namespace fk
