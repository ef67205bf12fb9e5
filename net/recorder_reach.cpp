#include "net/recorder_reach.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <optional>
#include <sstream>

#include "net/address_plan.h"

namespace fk {

namespace {

template <typename Number>
bool ParseHex(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

}  // namespace

RecorderAddressConflict RecorderAddressConflictFor(Ipv4 host, Ipv4 mask, Ipv4 gateway) {
    const Ipv4 recorder = DeviceAddressFor(host);
    if (gateway != 0 && recorder == gateway) return RecorderAddressConflict::Gateway;
    if (mask == 0) return RecorderAddressConflict::None;
    switch (SubnetPlaceOf(recorder, host, mask)) {
        case SubnetPlace::OutsideSubnet:
            return RecorderAddressConflict::OutsideSubnet;
        case SubnetPlace::Network:
            return RecorderAddressConflict::Network;
        case SubnetPlace::Broadcast:
            return RecorderAddressConflict::Broadcast;
        case SubnetPlace::Inside:
            break;
    }
    return RecorderAddressConflict::None;
}

std::vector<UdpSocketEntry> ParseUdpTable(std::string_view text) {
    std::vector<UdpSocketEntry> entries;
    std::istringstream lines{std::string(text)};
    std::string line;
    std::getline(lines, line);  // the column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        const auto colon = local.rfind(':');
        UdpSocketEntry entry;
        if (colon == std::string::npos ||
            !ParseHex(std::string_view(local).substr(colon + 1), entry.localPort)) {
            continue;
        }
        const auto [end, error] =
            std::from_chars(inode.data(), inode.data() + inode.size(), entry.inode);
        if (error != std::errc{} || end != inode.data() + inode.size()) continue;
        entries.push_back(entry);
    }
    return entries;
}

std::optional<std::uint64_t> ParseEffectiveCapabilities(std::string_view statusText) {
    constexpr std::string_view kKey = "\nCapEff:";
    const auto at = statusText.find(kKey);
    if (at == std::string_view::npos) return std::nullopt;
    auto value = statusText.substr(at + kKey.size());
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    value = value.substr(0, value.find('\n'));
    std::uint64_t bits = 0;
    if (!ParseHex(value, bits)) return std::nullopt;
    return bits;
}

std::optional<std::uint64_t> ParseFileCapabilities(std::string_view attribute) {
    // Little-endian 32-bit words: revision and flags, then permitted and inheritable per word of
    // the sets (one in revision 1, two in 2 and 3), then in revision 3 the owner's user id.
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t n = 4; n-- > 0;) {
            value = value << 8 | static_cast<std::uint8_t>(attribute[at + n]);
        }
        return value;
    };
    if (attribute.size() < 4) return std::nullopt;
    const std::uint32_t magic = word(0);
    const std::uint32_t revision = magic >> 24;
    const std::size_t expected = revision == 1 ? 12 : revision == 2 ? 20 : revision == 3 ? 24 : 0;
    if (expected == 0 || attribute.size() != expected) return std::nullopt;
    if ((magic & 1) == 0) return 0;
    std::uint64_t permitted = word(4);
    if (revision > 1) permitted |= std::uint64_t{word(12)} << 32;
    return permitted;
}

PrivilegeVerdict PrivilegeVerdictFor(const PrivilegeFacts& facts) {
    constexpr std::uint64_t kBind = std::uint64_t{1} << kCapNetBindService;
    constexpr std::uint64_t kAdmin = std::uint64_t{1} << kCapNetAdmin;
    if (facts.root) return {true, "root"};
    if ((facts.capabilities & (kBind | kAdmin)) == (kBind | kAdmin)) {
        return {true, "may bind ports 67 and 69 and add neighbours"};
    }
    const std::string& helper = facts.helperPath;
    if (facts.helperAccess == ENOENT || facts.helperAccess == ENOTDIR) {
        return {false, "the network helper " + helper +
                           " is missing: ask the administrator to install FlashKit again, or "
                           "run as root"};
    }
    if (facts.helperAccess != 0) {
        return {false, "this user may not run the network helper " + helper +
                           ": ask the administrator to add you to the group flashkit, then log "
                           "out and in again (group membership is read at login)"};
    }
    if ((facts.helperCapabilities & (kBind | kAdmin)) != (kBind | kAdmin)) {
        return {false, "the network helper " + helper +
                           " does not hold both cap_net_bind_service and cap_net_admin: upload "
                           "with the installed FlashKit package, whose installation gives them "
                           "to its helper, or run as root"};
    }
    return {true, "through the network helper " + helper};
}

namespace {

// The value of the line "key=value" in a runtime file's text; nothing when there is no such line.
std::optional<std::string_view> LineValue(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=')
            return line.substr(key.size() + 1);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return std::nullopt;
}

}  // namespace

CardManager CardManagerFor(std::string_view networkManagerDevice, std::string_view networkdLink) {
    if (LineValue(networkManagerDevice, "managed") == "true") return CardManager::NetworkManager;
    const auto admin = LineValue(networkdLink, "ADMIN_STATE");
    if (admin && !admin->empty() && *admin != "unmanaged" && *admin != "linger")
        return CardManager::Networkd;
    return CardManager::None;
}

}  // namespace fk
