// The check's Linux lines: network managers, the ports' holders from /proc, and the privileges of
// this process or of the network helper.

#include <unistd.h>

#include "cli/check_findings.h"
#include "net/recorder_reach.h"
#include "platform/net_privileges.h"
#include "platform/system_facts.h"

namespace fk::cli {

namespace {

// A manager that takes the card's address with the carrier leaves the recorder nothing to answer
// while it is off; FlashKit then waits for the address, which is worth knowing, not a fault.
Finding ManagerFinding(const AdapterRecord& card) {
    const std::string& name = card.adapterName;
    const auto files = platform::ReadCardManagerFiles(static_cast<int>(card.index));
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

}  // namespace

std::string LinkUpHint(const AdapterRecord& card) {
    return "bring it up (ip link set " + card.adapterName + " up)";
}

std::string AddressHint(const AdapterRecord& card) {
    return "give it one, e.g. ip addr add 192.168.1.1/24 dev " + card.adapterName;
}

std::vector<Finding> CardFindings(const AdapterRecord& card) {
    return {ManagerFinding(card)};
}

std::vector<Finding> HostFindings() {
    return {PortFinding(67), PortFinding(69), PrivilegeFinding()};
}

}  // namespace fk::cli
