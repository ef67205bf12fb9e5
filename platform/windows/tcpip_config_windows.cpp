// Winsock first: the other system headers use its types.
// clang-format off
#include <winsock2.h>
// clang-format on
#include <windows.h>
#include <ws2tcpip.h>

#include "platform/tcpip_config.h"

namespace fk::platform {

namespace {

// The first address of a REG_MULTI_SZ (or REG_SZ) value, host byte order; 0 when there is none.
std::uint32_t FirstAddress(HKEY key, const char* name) {
    char text[256] = {};
    DWORD size = sizeof text - 2;
    if (RegGetValueA(key, nullptr, name, RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS) {
        return 0;
    }
    in_addr raw{};
    if (inet_pton(AF_INET, text, &raw) != 1) return 0;
    return ntohl(raw.s_addr);
}

// The static settings Windows keeps for a card under its GUID, as the adapter dialog wrote them;
// a card that takes its address by DHCP has none.
class RegistryTcpipConfig final : public TcpipConfig {
  public:
    TcpipSettings Read(const std::string& adapterKey) override {
        const std::string path =
            "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + adapterKey;
        HKEY key = nullptr;
        if (adapterKey.empty() ||
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return {};
        }
        DWORD dhcp = 0;
        DWORD size = sizeof dhcp;
        TcpipSettings settings;
        if (RegGetValueA(key, nullptr, "EnableDHCP", RRF_RT_REG_DWORD, nullptr, &dhcp, &size) !=
                ERROR_SUCCESS ||
            dhcp == 0) {
            settings = {FirstAddress(key, "IPAddress"), FirstAddress(key, "DefaultGateway"),
                        FirstAddress(key, "SubnetMask")};
        }
        RegCloseKey(key);
        return settings;
    }
};

}  // namespace

std::unique_ptr<TcpipConfig> MakeSystemTcpipConfig() {
    return std::make_unique<RegistryTcpipConfig>();
}

}  // namespace fk::platform
