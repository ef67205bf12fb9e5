// flashkit-cli cards and check: the card list as the window shows it, and the reasons a
// recorder may never ask for its image. Both only read the system.

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "feedback/refusal_texts.h"
#include "net/address_plan.h"
#include "net/recorder_reach.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/net_privileges.h"
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

// One line of the check: what holds or not, and for what does not, what to do about it.
struct Finding {
    bool ok;
    std::string name, text, hint{};
};

Finding LinkFinding(const CardFacts& card) {
    const std::string& name = card.record.adapterName;
    if (!card.link.up) {
        return {false, "link", name + " is down", "bring it up (ip link set " + name + " up)"};
    }
    if (!card.link.carrier) {
        return {false, "link", name + " has no carrier",
                "check the cable, and that the recorder is switched on"};
    }
    return {true, "link", name + " is up and has a carrier"};
}

Finding AddressFinding(const CardFacts& card) {
    const std::string& name = card.record.adapterName;
    if (card.host == 0) {
        return {false, "address", name + " has no IPv4 address",
                "give it one, e.g. ip addr add 192.168.1.1/24 dev " + name};
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

// A manager that takes the card's address with the carrier leaves the recorder nothing to answer
// while it is off; FlashKit then waits for the address, which is worth knowing, not a fault.
Finding ManagerFinding(const CardFacts& card) {
    const std::string& name = card.record.adapterName;
    const auto files = platform::ReadCardManagerFiles(static_cast<int>(card.record.index));
    switch (CardManagerFor(files.networkManager, files.networkd)) {
        case CardManager::NetworkManager:
            return {true, "manager",
                    "NetworkManager manages " + name +
                        ": it takes the card's address away while the link has no carrier (the "
                        "recorder off or restarting) and gives it back with the carrier; "
                        "FlashKit waits for it"};
        case CardManager::Networkd:
            return {true, "manager",
                    "systemd-networkd manages " + name +
                        ": unless its .network file says IgnoreCarrierLoss=yes, it takes the "
                        "card's address away while the link has no carrier and gives it back "
                        "with the carrier; FlashKit waits for it"};
        case CardManager::None:
            break;
    }
    return {true, "manager",
            "no network manager owns " + name + ": its address stays when the link drops"};
}

Finding PortFinding(std::uint16_t port) {
    const std::string name = "port " + std::to_string(port);
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        for (const auto& socket : ParseUdpTable(platform::ReadKernelText(table))) {
            if (socket.localPort != port) continue;
            bool unseen = false;
            const auto holders = platform::SocketHolders(socket.inode, unseen);
            if (holders.empty()) {
                if (unseen) {
                    return {false, name, "in use by a process this user may not look into",
                            "run the check as root to name it"};
                }
                return {false, name, "in use (its process could not be found)"};
            }
            std::string text = "in use by ";
            for (std::size_t n = 0; n < holders.size(); ++n) {
                text += (n ? ", " : "") + holders[n].name + " (pid " +
                        std::to_string(holders[n].pid) + ")";
            }
            return {false, name, text, "stop it while uploading"};
        }
    }
    return {true, name, "free"};
}

Finding PrivilegeFinding() {
    PrivilegeFacts facts;
    facts.root = geteuid() == 0;
    facts.capabilities =
        ParseEffectiveCapabilities(platform::ReadKernelText("/proc/self/status")).value_or(0);
    facts.helperPath = platform::NetHelperPath();
    facts.helperAccess = platform::ExecuteAccess(facts.helperPath);
    facts.helperCapabilities =
        ParseFileCapabilities(platform::FileCapabilityAttribute(facts.helperPath)).value_or(0);
    const auto verdict = PrivilegeVerdictFor(facts);
    // A verdict that does not hold says what is missing, then after ": " what to do.
    const auto hintAt = verdict.ok ? std::string::npos : verdict.text.find(": ");
    if (hintAt == std::string::npos) return {verdict.ok, "privileges", verdict.text};
    return {false, "privileges", verdict.text.substr(0, hintAt), verdict.text.substr(hintAt + 2)};
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
    for (const auto& card : cards) {
        if (card.adapterName == name || card.description == name) return card;
    }
    return std::nullopt;
}

std::string NoUploadCardText(const platform::AdapterQuery& query, const std::string& name) {
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
    if (!why) return "No network card '" + name + "'; flashkit-cli cards lists them.";
    return card->adapterName + " cannot carry an upload: " + why +
           ". flashkit-cli cards lists the cards that can.";
}

int RunCards(bool json) {
    const auto config = platform::MakeKeyfileTcpipConfig();
    std::vector<CardFacts> cards;
    std::size_t width = 0;
    for (const auto& card : BuildAdapterList(SystemQuery())) {
        cards.push_back(FactsOf(card, *config));
        width = std::max(width, card.description.size());
    }
    for (const auto& card : cards) {
        const std::string recorder = FormatDottedQuad(DeviceAddressFor(card.host));
        if (json) {
            PrintJsonLine({{"card", card.record.adapterName},
                           {"entry", card.record.description},
                           {"address", AddressWithPrefix(card)},
                           {"up", card.link.up},
                           {"carrier", card.link.carrier},
                           {"recorder_address", recorder}});
            continue;
        }
        std::printf("%-*s  %-18s  %-14s  recorder %s\n", static_cast<int>(width),
                    card.record.description.c_str(), AddressWithPrefix(card).c_str(),
                    LinkText(card.link).c_str(), recorder.c_str());
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
    const auto config = platform::MakeKeyfileTcpipConfig();
    const CardFacts card = FactsOf(*record, *config);
    std::vector<Finding> findings{LinkFinding(card), AddressFinding(card), ManagerFinding(card)};
    // Every card of the PC may hold the recorder's address, whether it carries uploads or not.
    if (card.host != 0) findings.push_back(RecorderFinding(card, query.adapters));
    findings.push_back(PortFinding(67));
    findings.push_back(PortFinding(69));
    findings.push_back(PrivilegeFinding());
    bool allHold = true;
    for (const auto& finding : findings) {
        const char* verdict = finding.ok ? "ok" : "FAIL";
        if (options.json) {
            PrintJsonLine({{"check", finding.name},
                           {"verdict", verdict},
                           {"text", finding.text},
                           {"hint", finding.hint}});
        } else {
            std::printf("%-4s %-11s %s%s\n", verdict, finding.name.c_str(), finding.text.c_str(),
                        finding.hint.empty() ? "" : (": " + finding.hint).c_str());
        }
        allHold = allHold && finding.ok;
    }
    return allHold ? kExitOk : kExitProblem;
}

}  // namespace fk::cli
