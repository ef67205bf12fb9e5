#include "platform/windows/ip_helper.h"

// Winsock and its IP definitions first: the other system headers use their types.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
// clang-format on
#include <iphlpapi.h>
#include <netioapi.h>
#include <tlhelp32.h>

#include <algorithm>

namespace fk::platform::windows {

namespace {

std::uint32_t HostOrder(const SOCKADDR* address) {
    return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

std::string ProcessName(DWORD pid) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    std::string name;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && name.empty();
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) name = Utf8(entry.szExeFile);
    }
    CloseHandle(snapshot);
    return name;
}

}  // namespace

std::vector<std::pair<std::uint32_t, std::string>> UdpPortHolders(std::uint16_t port, bool& read) {
    std::vector<std::pair<std::uint32_t, std::string>> holders;
    ULONG size = 0;
    std::vector<std::uint8_t> buffer;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && error == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size);
        error = GetExtendedUdpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, AF_INET,
                                    UDP_TABLE_OWNER_PID, 0);
    }
    read = error == NO_ERROR;
    if (!read) return holders;
    const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD n = 0; n < table->dwNumEntries; ++n) {
        const MIB_UDPROW_OWNER_PID& row = table->table[n];
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) != port) continue;
        holders.emplace_back(row.dwOwningPid, ProcessName(row.dwOwningPid));
    }
    return holders;
}

std::string Utf8(const wchar_t* text) {
    if (!text || !*text) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(length) - 1);
    return utf8;
}

std::uint32_t MaskOfPrefix(unsigned prefixLength) {
    return prefixLength == 0 ? 0 : ~std::uint32_t{0} << (32 - std::min(prefixLength, 32u));
}

bool ReadCards(std::vector<Card>& cards, unsigned long& error) {
    constexpr ULONG kFlags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST |
                             GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list grows between the sizing call and the reading one when a card comes meanwhile.
    ULONG size = 16 * 1024;
    std::vector<std::uint8_t> buffer;
    for (int attempt = 0; attempt < 4; ++attempt) {
        buffer.resize(size);
        error = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                     reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (error != ERROR_BUFFER_OVERFLOW) break;
    }
    cards.clear();
    if (error == ERROR_NO_DATA) error = NO_ERROR;
    if (error != NO_ERROR) return false;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        Card card;
        card.key = adapter->AdapterName ? adapter->AdapterName : "";
        card.name = Utf8(adapter->FriendlyName);
        card.description = Utf8(adapter->Description);
        card.index = adapter->IfIndex;
        card.ifType = adapter->IfType;
        card.linkAddressLength = adapter->PhysicalAddressLength;
        card.ipv4Enabled = adapter->Ipv4Enabled != 0;
        card.up = adapter->OperStatus == IfOperStatusUp;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            if (unicast->Address.lpSockaddr->sa_family != AF_INET) continue;
            card.addresses.push_back(HostOrder(unicast->Address.lpSockaddr));
            card.prefixLengths.push_back(unicast->OnLinkPrefixLength);
        }
        for (auto* gateway = adapter->FirstGatewayAddress; gateway; gateway = gateway->Next) {
            if (gateway->Address.lpSockaddr->sa_family != AF_INET) continue;
            card.gateways.push_back(HostOrder(gateway->Address.lpSockaddr));
        }
        cards.push_back(std::move(card));
    }
    return true;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> RouteGateways() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> gateways;
    MIB_IPFORWARD_TABLE2* table = nullptr;
    if (GetIpForwardTable2(AF_INET, &table) != NO_ERROR) return gateways;
    for (ULONG n = 0; n < table->NumEntries; ++n) {
        const MIB_IPFORWARD_ROW2& row = table->Table[n];
        const std::uint32_t hop = ntohl(row.NextHop.Ipv4.sin_addr.s_addr);
        if (hop != 0) gateways.emplace_back(row.InterfaceIndex, hop);
    }
    FreeMibTable(table);
    return gateways;
}

}  // namespace fk::platform::windows
