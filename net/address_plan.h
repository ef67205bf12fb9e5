#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/adapter_list.h"
#include "net/device_address.h"
#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/neighbour_table.h"
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

// Who already holds the address the recorder would get on the selected card, in words for the
// operator: a gateway of the card, one of this PC's cards, or the device whose entry the neighbour
// table holds for it (entry: the table's entry on the selected card). None when nobody does, or
// when the entry is a recorder's that is not fixed: this recorder's, or a previous one's whose
// upload ended, which Upload replaces.
std::optional<std::string> RecorderAddressHolder(
    Ipv4 recorder, const AdapterRecord& card, const AdapterList& cards,
    const std::optional<platform::NeighbourEntry>& entry);

// The box text refusing an upload whose recorder address is held.
std::string RecorderAddressHeldText(Ipv4 recorder, const std::string& holder);
inline constexpr const char* kRecorderAddressHeldCaption = "Recorder address in use";

}  // namespace fk
