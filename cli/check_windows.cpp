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
#include <tlhelp32.h>
#include <windows.h>

#include <vector>

#include "cli/check_findings.h"
#include "platform/windows/ip_helper.h"

namespace fk::cli {

namespace {

// The rule the installer adds for both programs, and the one the hint makes.
constexpr const wchar_t* kFirewallRule = L"FlashKit";

std::string ProcessName(DWORD pid) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    std::string name;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && name.empty();
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) name = platform::windows::Utf8(entry.szExeFile);
    }
    CloseHandle(snapshot);
    return name;
}

Finding PortFinding(std::uint16_t port) {
    const std::string name = "port " + std::to_string(port);
    ULONG size = 0;
    std::vector<std::uint8_t> buffer;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && error == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size);
        error = GetExtendedUdpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, AF_INET,
                                    UDP_TABLE_OWNER_PID, 0);
    }
    if (error != NO_ERROR) return {true, name, "the system's table of ports could not be read"};
    const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD n = 0; n < table->dwNumEntries; ++n) {
        const MIB_UDPROW_OWNER_PID& row = table->table[n];
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) != port) continue;
        const std::string process = ProcessName(row.dwOwningPid);
        return {false, name,
                "in use by " + (process.empty() ? "a process" : process) + " (pid " +
                    std::to_string(row.dwOwningPid) + ")",
                "stop it while uploading (Internet Connection Sharing and DHCP or TFTP servers "
                "hold these ports)"};
    }
    return {true, name, "free"};
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

// On when any profile in force has the firewall on, and no enabled inbound rule of FlashKit's
// lets UDP in. Nothing to report when the firewall cannot be asked.
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
            INetFwRule* rule = nullptr;
            BSTR name = SysAllocString(kFirewallRule);
            if (SUCCEEDED(rules->Item(name, &rule)) && rule) {
                VARIANT_BOOL enabled = VARIANT_FALSE;
                NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
                NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
                ruled = SUCCEEDED(rule->get_Enabled(&enabled)) && enabled != VARIANT_FALSE &&
                        SUCCEEDED(rule->get_Direction(&direction)) &&
                        direction == NET_FW_RULE_DIR_IN && SUCCEEDED(rule->get_Action(&action)) &&
                        action == NET_FW_ACTION_ALLOW;
                rule->Release();
            }
            SysFreeString(name);
            rules->Release();
        }
        if (!on) {
            finding = {true, "firewall", "off: nothing stops UDP 67 and 69 coming in"};
        } else if (ruled) {
            finding = {true, "firewall", "on, and its FlashKit rule lets UDP in"};
        } else {
            finding = {false, "firewall", "on, and no FlashKit rule lets UDP 67 and 69 in", hint};
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
