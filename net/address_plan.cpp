#include "net/address_plan.h"

#include <arpa/inet.h>

#include <algorithm>

namespace fk {

namespace {

// The card's address text as the system wrote it. Only a well-formed dotted quad counts: the
// general parser reads an empty text as 255.255.255.255, which would send the recorder's
// replies to a broadcast-derived address.
Ipv4 CardAddress(const std::string& text) {
    in_addr raw{};
    if (inet_pton(AF_INET, text.c_str(), &raw) != 1) return 0;
    return ntohl(raw.s_addr);
}

}  // namespace

std::uint32_t GetOsPlatform() {
    return kPlatformNamedKeys;
}

std::string ConfigurationKeyFor(std::uint32_t platformId, const AdapterRecord& card,
                                const std::string& entryText) {
    return platformId == kPlatformNamedKeys ? card.adapterName : entryText;
}

Ipv4 HostAddressFor(const AdapterRecord& card, const std::string& entryText,
                    platform::TcpipConfig* config) {
    const Ipv4 reported = CardAddress(card.ipAddress);
    if (reported != 0 || !config) return reported;
    return config->Read(ConfigurationKeyFor(GetOsPlatform(), card, entryText)).address;
}

std::optional<AddressHolder> RecorderAddressHolder(
    Ipv4 recorder, const AdapterRecord& card, const AdapterList& cards,
    const std::optional<platform::NeighbourEntry>& entry) {
    AddressHolder holder;
    if (CardAddress(card.gateway) == recorder ||
        std::find(card.gateways.begin(), card.gateways.end(), recorder) != card.gateways.end()) {
        return holder;
    }
    for (const AdapterRecord& own : cards) {
        if (CardAddress(own.ipAddress) == recorder) {
            holder.kind = AddressHolder::Kind::OwnCard;
            holder.cardName = CardLabel(own);
            return holder;
        }
    }
    if (!entry || (!entry->permanent && IsRecorderMac(entry->mac))) return std::nullopt;
    holder.kind = AddressHolder::Kind::Device;
    holder.mac = entry->mac;
    holder.fixed = entry->permanent;
    return holder;
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const Ipv4 first = CardAddress(std::string(text.substr(0, dash)));
    const Ipv4 last = CardAddress(std::string(text.substr(dash + 1)));
    if (first == 0 || last == 0 || last < first) return std::nullopt;
    return AddressRange{first, last};
}

StationAddressRules StationAddressRulesFor(const AdapterRecord& card, const AdapterList& cards,
                                           Ipv4 host, std::optional<AddressRange> pool) {
    StationAddressRules rules{host, CardAddress(card.ipMask), card.gateways, {}, pool};
    if (const Ipv4 gateway = CardAddress(card.gateway); gateway != 0)
        rules.gateways.push_back(gateway);
    for (const AdapterRecord& own : cards) {
        if (const Ipv4 address = CardAddress(own.ipAddress); address != 0)
            rules.ownAddresses.push_back(address);
    }
    return rules;
}

std::optional<Ipv4> NextStationAddress(const StationAddressRules& rules,
                                       const std::set<Ipv4>& given, const NeighbourLookup& lookup) {
    const Ipv4 mask = rules.mask != 0 ? rules.mask : MaskOfPrefix(24);
    Ipv4 low = rules.host & mask;
    Ipv4 high = low | ~mask;
    if (rules.pool) {
        low = std::max(low, rules.pool->first);
        high = std::min(high, rules.pool->last);
    }
    if (low > high) return std::nullopt;
    const auto contains = [](const std::vector<Ipv4>& list, Ipv4 address) {
        return std::find(list.begin(), list.end(), address) != list.end();
    };
    const auto free = [&](Ipv4 address) {
        if (SubnetPlaceOf(address, rules.host, mask) != SubnetPlace::Inside) return false;
        if (address == rules.host || given.count(address) ||
            contains(rules.ownAddresses, address) || contains(rules.gateways, address)) {
            return false;
        }
        const auto entry = lookup ? lookup(address) : std::nullopt;
        return !entry || (!entry->permanent && IsRecorderMac(entry->mac));
    };
    const Ipv4 rule = DeviceAddressFor(rules.host);
    const Ipv4 start = rule >= low && rule <= high ? rule : low;
    // Every address of the range once, from the rule's on.
    const std::uint64_t size = std::uint64_t{high} - low + 1;
    for (std::uint64_t n = 0; n < size; ++n) {
        const Ipv4 address = static_cast<Ipv4>(low + (std::uint64_t{start} - low + n) % size);
        if (free(address)) return address;
    }
    return std::nullopt;
}

}  // namespace fk
