#include "cli/firewall_rule.h"

#include <charconv>
#include <string_view>

namespace fk::cli {

namespace {

constexpr int kUdp = 17;
constexpr int kAnyProtocol = 256;

bool SamePath(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t n = 0; n < a.size(); ++n) {
        const auto fold = [](char c) {
            if (c == '/') return '\\';
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (fold(a[n]) != fold(b[n])) return false;
    }
    return true;
}

bool Number(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// A list of ports and ranges, as the firewall writes them.
bool CoversPort(std::string_view ports, int port) {
    if (ports == "*" || ports == "Any") return true;
    while (!ports.empty()) {
        const auto comma = ports.find(',');
        std::string_view item = ports.substr(0, comma);
        ports = comma == std::string_view::npos ? std::string_view() : ports.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        const auto dash = item.find('-');
        int first = 0, last = 0;
        if (dash == std::string_view::npos) {
            if (Number(item, first) && first == port) return true;
        } else if (Number(item.substr(0, dash), first) && Number(item.substr(dash + 1), last) &&
                   first <= port && port <= last) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool LetsRecordersIn(const FirewallRule& rule, const std::string& programPath) {
    return rule.enabled && rule.inbound && rule.allows &&
           (rule.protocol == kUdp || rule.protocol == kAnyProtocol) &&
           CoversPort(rule.localPorts, 67) && CoversPort(rule.localPorts, 69) &&
           (rule.program.empty() || SamePath(rule.program, programPath));
}

}  // namespace fk::cli
