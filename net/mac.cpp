#include "net/mac.h"

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
        // The boxes hold at most two characters, so the value stays within one octet.
        result = (result << 4) | digit;
    }
    value = result;
    return true;
}

}  // namespace fk
