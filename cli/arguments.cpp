#include <cstdio>
#include <vector>

#include "cli/commands.h"
#include "cli/json_text.h"
#include "upgrade/upload_checks.h"

namespace fk::cli {

std::string RefusalLine(const std::string& caption, const std::string& text) {
    return caption.empty() ? text : caption + ": " + text;
}

std::string ErrorLines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string lines;
    std::string_view rest = text;
    for (;;) {
        const auto end = rest.find('\n');
        lines += "flashkit-cli: " + TerminalText(rest.substr(0, end)) + "\n";
        if (end == std::string_view::npos) return lines;
        rest.remove_prefix(end + 1);
    }
}

void PrintError(const std::string& text) {
    std::fputs(ErrorLines(text).c_str(), stderr);
}

bool ParseRecorderMacArgument(const std::string& text, MacAddress& mac) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == ':' || c == '-') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    if (parts.size() == 6) {
        for (std::size_t n = 0; n < 3; ++n) {
            std::uint32_t octet = 0;
            if (!ParseHexByte(parts[n], octet) || octet != kRecorderMacPrefix[n]) return false;
        }
        parts.erase(parts.begin(), parts.begin() + 3);
    }
    if (parts.size() != 3) return false;
    return !ParseRecorderOctets({parts[0], parts[1], parts[2]}, mac);
}

}  // namespace fk::cli
