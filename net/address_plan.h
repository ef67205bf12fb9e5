#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

// Who already holds an address: a gateway of the card, one of this PC's cards (cardName), the
// device whose entry the neighbour table holds for it (mac; fixed: the entry is permanent), or a
// device that is no recorder and answered for it when the recorder's entry was made.
struct AddressHolder {
    enum class Kind { Gateway, OwnCard, Device, AnsweringDevice } kind = Kind::Gateway;
    std::string cardName;
    MacAddress mac{};
    bool fixed = false;
    bool operator==(const AddressHolder&) const = default;
};

// Who already holds the address the recorder would get on the selected card (entry: the
// neighbour table's entry on the selected card). None when nobody does, or when the entry is a
// recorder's that is not fixed: this recorder's, or a previous one's whose upload ended, which
// Upload replaces.
std::optional<AddressHolder> RecorderAddressHolder(
    Ipv4 recorder, const AdapterRecord& card, const AdapterList& cards,
    const std::optional<platform::NeighbourEntry>& entry);

// A range of addresses, both ends included.
struct AddressRange {
    Ipv4 first = 0;
    Ipv4 last = 0;
};

// "192.168.1.50-192.168.1.99": nothing for a malformed text or a range that runs backwards.
std::optional<AddressRange> ParseAddressRange(std::string_view text);

// What decides the addresses a station gives its recorders on one card.
struct StationAddressRules {
    Ipv4 host = 0;
    Ipv4 mask = 0;                   // 0: unknown, taken as /24 like the address rule
    std::vector<Ipv4> gateways;      // of the card, next hops of multipath routes included
    std::vector<Ipv4> ownAddresses;  // of every card of this PC
    std::optional<AddressRange> pool;
};

// The rules for the card as the system reports it (cards: every card of this PC).
StationAddressRules StationAddressRulesFor(const AdapterRecord& card, const AdapterList& cards,
                                           Ipv4 host, std::optional<AddressRange> pool);

// What the neighbour table holds for an address on the card.
using NeighbourLookup = std::function<std::optional<platform::NeighbourEntry>(Ipv4)>;

// The address for the next recorder of a station run: the address rule's, then the next ones of
// the card's subnet (wrapping round), inside the pool when one is given. Skipped are the
// addresses given already, this PC's own, the card's gateways, the subnet's network and
// broadcast addresses, and any the neighbour table binds to something other than a recorder
// whose entry is not fixed. Nothing when the range has no address left.
std::optional<Ipv4> NextStationAddress(const StationAddressRules& rules,
                                       const std::set<Ipv4>& given, const NeighbourLookup& lookup);

}  // namespace fk
