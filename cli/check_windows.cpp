// The check's Windows lines: what stops a recorder being served there. Not running as
// administrator (no neighbour entry: the boot replies go out by broadcast), a firewall that lets
// no UDP in, another program holding 67 or 69 (Internet Connection Sharing, another DHCP or
// TFTP server).

// Winsock and its IP definitions first: the other system headers use their types.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
// clang-format on
#include <iphlpapi.h>
#include <netfw.h>
#include <windows.h>

#include <vector>

#include "cli/check_findings.h"
#include "cli/firewall_rule.h"
#include "platform/windows/ip_helper.h"

namespace fk::cli {

namespace {

Finding PortFinding(std::uint16_t port) {
    const std::string name = "port " + std::to_string(port);
    bool read = false;
    const auto holders = platform::windows::UdpPortHolders(port, read);
    if (!read) return {true, name, "the system's table of ports could not be read"};
    if (holders.empty()) return {true, name, "free"};
    const auto& [pid, process] = holders.front();
    return {false, name,
            pid == 0 ? std::string("in use (its process could not be found)")
                     : "in use by " + (process.empty() ? "a process" : process) + " (pid " +
                           std::to_string(pid) + ")",
            "stop it while uploading (Internet Connection Sharing and DHCP or TFTP servers "
            "hold these ports)"};
}

bool RunningElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

Finding AdministratorFinding() {
    const HMODULE ipHelper = GetModuleHandleW(L"iphlpapi.dll");
    if (!ipHelper || !GetProcAddress(ipHelper, "CreateIpNetEntry2")) {
        return {false, "privileges",
                "this system has no call to make the recorder's neighbour entry "
                "(CreateIpNetEntry2): the boot replies go out by broadcast, which a recorder "
                "that answers no ARP requests never hears",
                "upload from Windows itself"};
    }
    if (RunningElevated()) {
        return {true, "privileges", "running as administrator: the recorder's entry can be made"};
    }
    return {false, "privileges",
            "not running as administrator: the recorder's neighbour entry cannot be made, so the "
            "boot replies go out by broadcast, which a recorder that answers no ARP requests "
            "never hears",
            "run flashkit-cli from a command prompt opened with Run as administrator"};
}

std::string ProgramPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return platform::windows::Utf8(path);
}

std::string BstrText(BSTR text, bool expand = false) {
    if (!text) return {};
    if (!expand) return platform::windows::Utf8(text);
    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD length = ExpandEnvironmentStringsW(text, expanded, MAX_PATH * 2);
    return platform::windows::Utf8(length > 0 && length <= MAX_PATH * 2 ? expanded : text);
}

FirewallRule RuleFacts(INetFwRule* rule) {
    FirewallRule facts;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
    NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
    long protocol = 0;
    BSTR ports = nullptr, program = nullptr;
    facts.enabled = SUCCEEDED(rule->get_Enabled(&enabled)) && enabled != VARIANT_FALSE;
    facts.inbound = SUCCEEDED(rule->get_Direction(&direction)) && direction == NET_FW_RULE_DIR_IN;
    facts.allows = SUCCEEDED(rule->get_Action(&action)) && action == NET_FW_ACTION_ALLOW;
    if (SUCCEEDED(rule->get_Protocol(&protocol))) facts.protocol = static_cast<int>(protocol);
    if (SUCCEEDED(rule->get_LocalPorts(&ports))) facts.localPorts = BstrText(ports);
    if (SUCCEEDED(rule->get_ApplicationName(&program))) facts.program = BstrText(program, true);
    SysFreeString(ports);
    SysFreeString(program);
    return facts;
}

// Any enabled rule, whatever its name, that lets UDP 67 and 69 in to this very program.
bool AnyRuleLetsIn(INetFwRules* rules, const std::string& programPath) {
    IUnknown* listing = nullptr;
    IEnumVARIANT* each = nullptr;
    if (FAILED(rules->get__NewEnum(&listing)) || !listing) return false;
    const bool enumerable = SUCCEEDED(listing->QueryInterface(IID_PPV_ARGS(&each)));
    listing->Release();
    if (!enumerable) return false;
    bool found = false;
    VARIANT item;
    VariantInit(&item);
    while (!found && each->Next(1, &item, nullptr) == S_OK) {
        INetFwRule* rule = nullptr;
        if (item.vt == VT_DISPATCH && item.pdispVal &&
            SUCCEEDED(item.pdispVal->QueryInterface(IID_PPV_ARGS(&rule)))) {
            found = LetsRecordersIn(RuleFacts(rule), programPath);
            rule->Release();
        }
        VariantClear(&item);
    }
    each->Release();
    return found;
}

// On when any profile in force has the firewall on, and no rule lets UDP 67 and 69 in to this
// program's own path (a rule left for another install's path does not). Nothing to report when
// the firewall cannot be asked.
Finding FirewallFinding() {
    const std::string hint =
        "add the rule: netsh advfirewall firewall add rule name=\"FlashKit\" "
        "dir=in action=allow protocol=UDP localport=67,69 program=\"" +
        ProgramPath() + "\"";
    const bool initialised = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    Finding finding{true, "firewall", "could not be asked; UDP 67 and 69 must be let in"};
    INetFwPolicy2* policy = nullptr;
    if (SUCCEEDED(CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER,
                                   __uuidof(INetFwPolicy2), reinterpret_cast<void**>(&policy)))) {
        long profiles = 0;
        bool on = false;
        if (SUCCEEDED(policy->get_CurrentProfileTypes(&profiles))) {
            for (const auto profile :
                 {NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC}) {
                VARIANT_BOOL enabled = VARIANT_FALSE;
                if ((profiles & profile) &&
                    SUCCEEDED(policy->get_FirewallEnabled(profile, &enabled)) &&
                    enabled != VARIANT_FALSE) {
                    on = true;
                }
            }
        }
        bool ruled = false;
        INetFwRules* rules = nullptr;
        if (on && SUCCEEDED(policy->get_Rules(&rules))) {
            ruled = AnyRuleLetsIn(rules, ProgramPath());
            rules->Release();
        }
        if (!on) {
            finding = {true, "firewall", "off: nothing stops UDP 67 and 69 coming in"};
        } else if (ruled) {
            finding = {true, "firewall", "on, and a rule lets UDP 67 and 69 in to this program"};
        } else {
            finding = {false, "firewall",
                       "on, and no rule lets UDP 67 and 69 in to " + ProgramPath(), hint};
        }
        policy->Release();
    }
    if (initialised) CoUninitialize();
    return finding;
}

}  // namespace

// Network Connections lists a card by its name, with the maker's description beneath.
std::string LinkUpHint(const AdapterRecord& card) {
    return "enable \"" + card.friendlyName + "\" under Network Connections (ncpa.cpl)";
}

std::string AddressHint(const AdapterRecord& card) {
    return "give it one, e.g. netsh interface ipv4 set address name=\"" + card.friendlyName +
           "\" static 192.168.1.1 255.255.255.0";
}

std::vector<Finding> CardFindings(const AdapterRecord&) {
    return {};
}

std::vector<Finding> HostFindings() {
    return {PortFinding(67), PortFinding(69), AdministratorFinding(), FirewallFinding()};
}

}  // namespace fk::cli
