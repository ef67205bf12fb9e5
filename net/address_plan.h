#pragma once

#include <cstdint>
#include <string>

#include "net/adapter_list.h"
#include "net/device_address.h"
#include "net/ipv4.h"
#include "platform/tcpip_config.h"

namespace fk {

// The operating-system family that decides which key the configuration lookup is asked with.
// Only 2 (the family whose configuration is keyed by the card's own name) is told apart.
inline constexpr std::uint32_t kPlatformNamedKeys = 2;

// Cards are configured under their interface names here, so the answer is always 2.
std::uint32_t GetOsPlatform();

// The key for the configuration lookup: the card's key name on family 2, otherwise the text of
// its entry in the card list.
std::string ConfigurationKeyFor(std::uint32_t platformId, const AdapterRecord& card,
                                const std::string& entryText);

// The host address of the selected card: its first address, or, when it reports none, the
// address configured for it (0 when nothing is configured or there is no lookup). An empty or
// malformed address text counts as no address.
Ipv4 HostAddressFor(const AdapterRecord& card, const std::string& entryText,
                    platform::TcpipConfig* config);

}  // namespace fk
