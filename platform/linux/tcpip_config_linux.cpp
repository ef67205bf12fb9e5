#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/tcpip_config.h"

namespace fk::platform {

namespace {

// A connection profile is a few hundred bytes; anything far larger is not one.
constexpr std::uintmax_t kMaxKeyfileSize = 64 * 1024;

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::optional<std::uint32_t> ParseAddress(std::string_view text) {
    const std::string copy(Trim(text));
    in_addr raw{};
    if (inet_pton(AF_INET, copy.c_str(), &raw) != 1) return std::nullopt;
    return ntohl(raw.s_addr);
}

std::optional<std::uint32_t> ParseMask(std::string_view prefixText) {
    const std::string_view text = Trim(prefixText);
    if (text.empty() || text.size() > 2) return std::nullopt;
    unsigned prefix = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    if (prefix > 32) return std::nullopt;
    return prefix == 0 ? 0u : ~std::uint32_t{0} << (32 - prefix);
}

// "address1=ADDRESS/PREFIX[,GATEWAY]" as NetworkManager writes it. A malformed value yields
// nothing rather than a guess.
std::optional<TcpipSettings> ParseAddressEntry(std::string_view value) {
    TcpipSettings settings;
    const auto comma = value.find(',');
    const std::string_view addressPart = value.substr(0, comma);
    if (comma != std::string_view::npos) {
        const auto gateway = ParseAddress(value.substr(comma + 1));
        if (!gateway) return std::nullopt;
        settings.gateway = *gateway;
    }
    const auto slash = addressPart.find('/');
    const auto address = ParseAddress(addressPart.substr(0, slash));
    if (!address) return std::nullopt;
    settings.address = *address;
    if (slash != std::string_view::npos) {
        const auto mask = ParseMask(addressPart.substr(slash + 1));
        if (!mask) return std::nullopt;
        settings.mask = *mask;
    }
    return settings;
}

// The settings of one keyfile when it is bound to the card and holds a usable static address.
std::optional<TcpipSettings> ParseKeyfile(std::istream& in, const std::string& adapterKey) {
    std::string group;
    std::string interfaceName;
    std::optional<TcpipSettings> settings;
    std::optional<std::uint32_t> separateGateway;
    bool malformed = false;
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view text = Trim(line);
        if (text.empty() || text.front() == '#' || text.front() == ';') continue;
        if (text.front() == '[' && text.back() == ']') {
            group = std::string(text.substr(1, text.size() - 2));
            continue;
        }
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = Trim(text.substr(0, equals));
        const std::string_view value = Trim(text.substr(equals + 1));
        if (group == "connection" && key == "interface-name") {
            interfaceName = value;
        } else if (group == "ipv4" && key == "address1") {
            settings = ParseAddressEntry(value);
            malformed = !settings;
        } else if (group == "ipv4" && key == "gateway") {
            separateGateway = ParseAddress(value);
        }
    }
    if (adapterKey.empty() || interfaceName != adapterKey || !settings || malformed) {
        return std::nullopt;
    }
    if (settings->gateway == 0 && separateGateway) settings->gateway = *separateGateway;
    return settings;
}

bool IsProfileName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.back() != '~';
}

class KeyfileTcpipConfig final : public TcpipConfig {
  public:
    explicit KeyfileTcpipConfig(std::string folder) : m_folder(std::move(folder)) {}

    TcpipSettings Read(const std::string& adapterKey) override {
        for (const auto& path : ProfilePaths()) {
            std::ifstream in(path);
            if (!in) continue;
            if (const auto settings = ParseKeyfile(in, adapterKey)) return *settings;
        }
        return {};
    }

  private:
    // Regular files only, in name order so that the first match is the same on every start;
    // a pipe or device in the folder could block the read.
    std::vector<std::filesystem::path> ProfilePaths() const {
        namespace fs = std::filesystem;
        std::vector<fs::path> paths;
        std::error_code error;
        for (fs::directory_iterator it(m_folder, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code statError;
            if (!it->is_regular_file(statError) || statError) continue;
            if (it->file_size(statError) > kMaxKeyfileSize || statError) continue;
            if (!IsProfileName(it->path().filename().string())) continue;
            paths.push_back(it->path());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    std::string m_folder;
};

}  // namespace

std::unique_ptr<TcpipConfig> MakeKeyfileTcpipConfig(const std::string& folder) {
    return std::make_unique<KeyfileTcpipConfig>(folder);
}

std::unique_ptr<TcpipConfig> MakeSystemTcpipConfig() {
    return MakeKeyfileTcpipConfig();
}

}  // namespace fk::platform
