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

std::optional<std::string> RecorderAddressHolder(
    Ipv4 recorder, const AdapterRecord& card, const AdapterList& cards,
    const std::optional<platform::NeighbourEntry>& entry) {
    if (CardAddress(card.gateway) == recorder ||
        std::find(card.gateways.begin(), card.gateways.end(), recorder) != card.gateways.end()) {
        return "the gateway of this network card";
    }
    for (const AdapterRecord& own : cards) {
        if (CardAddress(own.ipAddress) == recorder)
            return "this PC's network card " + own.adapterName;
    }
    if (!entry || (!entry->permanent && IsRecorderMac(entry->mac))) return std::nullopt;
    return "the device " + FormatMac(entry->mac) +
           (entry->permanent ? " (a fixed neighbour entry)" : "");
}

std::string RecorderAddressHeldText(Ipv4 recorder, const std::string& holder) {
    return "The recorder would get the address " + FormatDottedQuad(recorder) + ", which " +
           holder +
           " already has, so the upload is not started. Choose another network card or give this "
           "one another address.";
}

}  // namespace fk
