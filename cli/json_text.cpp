#include "cli/json_text.h"

#include <cstdint>

namespace fk::cli {

namespace {

// The length of the well-formed UTF-8 character at the start of text, 0 when there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t CharacterLength(std::string_view text) {
    const auto byte = [&](std::size_t n) { return static_cast<std::uint8_t>(text[n]); };
    const auto continuation = [&](std::size_t n) {
        return n < text.size() && (byte(n) & 0xC0) == 0x80;
    };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
        if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
        if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

bool IsUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = CharacterLength(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

std::string Utf8Text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = CharacterLength(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out += text.substr(0, length);
            text.remove_prefix(length);
        }
    }
    return out;
}

std::string TerminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = CharacterLength(text);
        const auto lead = static_cast<std::uint8_t>(text[0]);
        const bool control =
            length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F)) ||
            (length == 2 && lead == 0xC2 && static_cast<std::uint8_t>(text[1]) < 0xA0);
        const std::size_t taken = length == 0 ? 1 : length;
        if (control) {
            for (std::size_t n = 0; n < taken; ++n) out += "\\x" + HexBytes(text.substr(n, 1));
        } else {
            out += text.substr(0, taken);
        }
        text.remove_prefix(taken);
    }
    return out;
}

std::string HexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
    return out;
}

}  // namespace fk::cli
