#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace fk::platform {

// A card's configured IPv4 settings, host byte order, 0 meaning "not configured".
struct TcpipSettings {
    std::uint32_t address = 0;
    std::uint32_t gateway = 0;
    std::uint32_t mask = 0;
    bool operator==(const TcpipSettings&) const = default;
};

// The system's stored network configuration, asked for a card that reports no address. Answers
// quickly from local files and never waits on a service: it runs during start-up.
class TcpipConfig {
  public:
    virtual ~TcpipConfig() = default;
    // adapterKey is the card's key name (its interface name); all zeros when nothing is found.
    virtual TcpipSettings Read(const std::string& adapterKey) = 0;
};

// The system's own store: NetworkManager's keyfiles on Linux, the registry on Windows.
std::unique_ptr<TcpipConfig> MakeSystemTcpipConfig();

// Static addresses from NetworkManager keyfiles in the given folder.
std::unique_ptr<TcpipConfig> MakeKeyfileTcpipConfig(
    const std::string& folder = "/etc/NetworkManager/system-connections");

}  // namespace fk::platform
