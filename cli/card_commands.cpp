// flashkit-cli cards and check: the card list as the window shows it, and the reasons a
// recorder may never ask for its image. Both only read the system.

#include <algorithm>
#include <bit>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/check_findings.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "feedback/refusal_texts.h"
#include "net/address_plan.h"
#include "net/recorder_reach.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/system_facts.h"
#include "platform/tcpip_config.h"
#include "upgrade/upload_checks.h"

namespace fk::cli {

namespace {

struct CardFacts {
    AdapterRecord record;
    Ipv4 host = 0, mask = 0, gateway = 0;
    platform::LinkState link;
};

CardFacts FactsOf(const AdapterRecord& card, platform::TcpipConfig& config) {
    CardFacts facts;
    facts.record = card;
    facts.host = HostAddressFor(card, card.description, &config);
    facts.mask = ParseDottedQuad(card.ipMask);
    if (facts.mask == 0xFFFFFFFFu && card.ipMask != "255.255.255.255") facts.mask = 0;
    facts.gateway = ParseDottedQuad(card.gateway);
    if (facts.gateway == 0xFFFFFFFFu) facts.gateway = 0;
    facts.link = platform::ReadLinkState(card.adapterName);
    return facts;
}

std::string AddressWithPrefix(const CardFacts& card) {
    return FormatDottedQuad(card.host) + "/" + std::to_string(std::popcount(card.mask));
}

std::string LinkText(const platform::LinkState& link) {
    if (!link.up) return "down";
    return link.carrier ? "up, carrier" : "up, no carrier";
}

Finding LinkFinding(const CardFacts& card) {
    const std::string name = CardLabel(card.record);
    if (!card.link.up) {
        return {false, "link", name + " is down", LinkUpHint(card.record)};
    }
    if (!card.link.carrier) {
        return {false, "link", name + " has no carrier",
                "check the cable, and that the recorder is switched on"};
    }
    return {true, "link", name + " is up and has a carrier"};
}

Finding AddressFinding(const CardFacts& card) {
    const std::string name = CardLabel(card.record);
    if (card.host == 0) {
        return {false, "address", name + " has no IPv4 address", AddressHint(card.record)};
    }
    const auto& addresses = card.record.addresses;
    if (addresses.size() < 2) return {true, "address", AddressWithPrefix(card) + " on " + name};
    // The recorder's address follows the card's first address only, which may not be the one
    // the operator had in mind.
    std::string text;
    for (const auto& address : addresses) {
        text += (text.empty() ? "" : ", ") + FormatDottedQuad(address.address) + "/" +
                std::to_string(address.prefixLength);
    }
    return {
        true, "address",
        text + " on " + name + "; the recorder address comes from " + FormatDottedQuad(card.host)};
}

Finding RecorderFinding(const CardFacts& card, const AdapterList& cards) {
    const Ipv4 recorder = DeviceAddressFor(card.host);
    const std::string address = FormatDottedQuad(recorder);
    const char* conflict = nullptr;
    switch (RecorderAddressConflictFor(card.host, card.mask, card.gateway)) {
        case RecorderAddressConflict::None:
            break;
        case RecorderAddressConflict::OutsideSubnet:
            conflict = "is outside the card's subnet";
            break;
        case RecorderAddressConflict::Network:
            conflict = "is the subnet's network address";
            break;
        case RecorderAddressConflict::Broadcast:
            conflict = "is the subnet's broadcast address";
            break;
        case RecorderAddressConflict::Gateway:
            conflict = "is the gateway's address";
            break;
    }
    if (conflict) {
        return {false, "recorder", address + " " + conflict,
                "give the card an address whose last octet is from 2 to 253 inside its subnet "
                "(the recorder gets the next one)"};
    }
    // The same look-up and rule Upload has; reading the table needs no privilege.
    const std::optional<platform::NeighbourEntry> entry =
        platform::MakeSystemNeighbourTable()->Find(static_cast<int>(card.record.index), recorder);
    if (const auto holder = RecorderAddressHolder(recorder, card.record, cards, entry)) {
        return {false, "recorder", address + " is already held by " + HolderText(*holder),
                "give the card another address, or choose another card"};
    }
    return {true, "recorder", address + " is free"};
}

// The card list's entry, and where the system names cards, the name the operator knows them by.
std::string ListedName(const AdapterRecord& card) {
    return card.friendlyName.empty() ? card.description : CardLabel(card);
}

platform::AdapterQuery SystemQuery() {
    return platform::MakeSystemAdapterSource()->List();
}

// One JSON object per line, as the upload writes its events.
void PrintJsonLine(nlohmann::ordered_json object) {
    MarkBytes(object);
    std::printf("%s\n", object.dump().c_str());
}

}  // namespace

std::optional<AdapterRecord> FindCard(const AdapterList& cards, const std::string& name) {
    auto named = CardsNamed(cards, name);
    if (named.size() != 1) return std::nullopt;
    return std::move(named.front());
}

std::string CardArgument(const AdapterRecord& card) {
    return card.friendlyName.empty() ? card.adapterName : "\"" + card.friendlyName + "\"";
}

std::string NoUploadCardText(const platform::AdapterQuery& query, const std::string& name) {
    const AdapterList usable = BuildAdapterList(query);
    if (const auto named = CardsNamed(usable, name); named.size() > 1) {
        std::string text = "'" + name + "' names more than one card:";
        for (const auto& card : named) {
            text += " " + CardLabel(card) + " (index " + std::to_string(card.index) + ");";
        }
        text.back() = '.';
        return text + " Name one by its name or index.";
    }
    const auto card = FindCard(query.adapters, name);
    const char* why = nullptr;
    switch (card ? card->unfit : nethelper::CardUnfit::None) {
        case nethelper::CardUnfit::None:
            break;
        case nethelper::CardUnfit::Loopback:
            why = "it is the loopback card, which reaches only this PC";
            break;
        case nethelper::CardUnfit::PointToPoint:
            why = "it is a point-to-point link, with no neighbours to reach a recorder by its MAC";
            break;
        case nethelper::CardUnfit::NoArp:
            why =
                "it does not use ARP (NOARP), so no recorder can be reached through it by its MAC";
            break;
        case nethelper::CardUnfit::NotEthernet:
            why = "it is not an Ethernet card, so no recorder can be reached through it by its MAC";
            break;
    }
    if (!why) {
        std::string text = "No network card '" + name + "'; flashkit-cli cards lists them.";
        if (usable.empty()) return text + " None can carry an upload.";
        text += " Those that can carry an upload:";
        for (const auto& other : usable) text += " " + CardLabel(other) + ";";
        text.back() = '.';
        return text;
    }
    return CardLabel(*card) + " cannot carry an upload: " + why +
           ". flashkit-cli cards lists the cards that can.";
}

int RunCards(bool json) {
    const auto config = platform::MakeSystemTcpipConfig();
    std::vector<CardFacts> cards;
    std::size_t width = 0;
    const platform::AdapterQuery query = SystemQuery();
    for (const auto& card : BuildAdapterList(query)) {
        cards.push_back(FactsOf(card, *config));
        width = std::max(width, TerminalText(ListedName(card)).size());
    }
    for (const auto& card : cards) {
        const std::string recorder = FormatDottedQuad(DeviceAddressFor(card.host));
        if (json) {
            nlohmann::ordered_json line{{"card", card.record.adapterName}};
            if (!card.record.friendlyName.empty()) {
                line["name"] = card.record.friendlyName;
                line["index"] = card.record.index;
            }
            line["entry"] = card.record.description;
            line["address"] = AddressWithPrefix(card);
            line["up"] = card.link.up;
            line["carrier"] = card.link.carrier;
            line["recorder_address"] = recorder;
            PrintJsonLine(std::move(line));
            continue;
        }
        std::printf("%-*s  %-18s  %-14s  recorder %s\n", static_cast<int>(width),
                    TerminalText(ListedName(card.record)).c_str(), AddressWithPrefix(card).c_str(),
                    LinkText(card.link).c_str(), recorder.c_str());
    }
    if (cards.empty()) {
        PrintError(query.ok ? "No network card can carry an upload: a recorder is reached "
                              "through an Ethernet or Wi-Fi card that uses ARP."
                            : "The network cards could not be read (error " +
                                  std::to_string(query.error) + ").");
    }
    return kExitOk;
}

int RunCheck(const CheckOptions& options) {
    // Any recorder's entry that is not fixed is replaced by Upload, so the MAC is only checked.
    if (MacAddress mac = kRecorderMacPrefix;
        !options.mac.empty() && !ParseRecorderMacArgument(options.mac, mac)) {
        PrintError(RefusalLine(kMacRefusalCaption, kMacRefusalText));
        return kExitBadInput;
    }
    const platform::AdapterQuery query = SystemQuery();
    const auto record = FindCard(BuildAdapterList(query), options.card);
    if (!record) {
        PrintError(NoUploadCardText(query, options.card));
        return kExitBadInput;
    }
    const auto config = platform::MakeSystemTcpipConfig();
    const CardFacts card = FactsOf(*record, *config);
    std::vector<Finding> findings{LinkFinding(card), AddressFinding(card)};
    for (auto& finding : CardFindings(card.record)) findings.push_back(std::move(finding));
    // Every card of the PC may hold the recorder's address, whether it carries uploads or not.
    if (card.host != 0) findings.push_back(RecorderFinding(card, query.adapters));
    for (auto& finding : HostFindings()) findings.push_back(std::move(finding));
    bool allHold = true;
    for (const auto& finding : findings) {
        const char* verdict = finding.ok ? "ok" : "FAIL";
        if (options.json) {
            PrintJsonLine({{"check", finding.name},
                           {"verdict", verdict},
                           {"text", finding.text},
                           {"hint", finding.hint}});
        } else {
            std::printf("%-4s %-11s %s%s\n", verdict, finding.name.c_str(),
                        TerminalText(finding.text).c_str(),
                        TerminalText(finding.hint.empty() ? "" : ": " + finding.hint).c_str());
        }
        allHold = allHold && finding.ok;
    }
    return allHold ? kExitOk : kExitProblem;
}

}  // namespace fk::cli
