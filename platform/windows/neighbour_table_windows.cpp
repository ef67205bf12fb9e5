// Winsock and its IP definitions first: the other system headers use their types.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
// clang-format on
#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>
#include <system_error>

#include "platform/neighbour_table.h"
#include "platform/windows/winsock_errors.h"

namespace fk::platform {

namespace {

// CreateIpNetEntry2 and DeleteIpNetEntry2 are looked up when first needed: a system without
// them (wine has neither) still runs, and the session sends its boot replies by broadcast.
using IpNetEntryCall = DWORD(WINAPI*)(const MIB_IPNET_ROW2*);

struct EntryCalls {
    IpNetEntryCall create = nullptr;
    IpNetEntryCall remove = nullptr;
};

const EntryCalls& Calls() {
    static const EntryCalls calls = [] {
        EntryCalls found;
        if (const HMODULE module = GetModuleHandleW(L"iphlpapi.dll")) {
            found.create = reinterpret_cast<IpNetEntryCall>(
                reinterpret_cast<void*>(GetProcAddress(module, "CreateIpNetEntry2")));
            found.remove = reinterpret_cast<IpNetEntryCall>(
                reinterpret_cast<void*>(GetProcAddress(module, "DeleteIpNetEntry2")));
        }
        return found;
    }();
    return calls;
}

NeighbourResult Outcome(int error) {
    if (error == 0) return {};
    return {false, error, std::error_code(error, std::generic_category()).message()};
}

MIB_IPNET_ROW2 RowFor(int ifindex, std::uint32_t address) {
    MIB_IPNET_ROW2 row{};
    row.InterfaceIndex = static_cast<NET_IFINDEX>(ifindex);
    row.Address.Ipv4.sin_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = htonl(address);
    return row;
}

class WindowsNeighbourTable final : public NeighbourTable {
  public:
    NeighbourResult Add(int ifindex, std::uint32_t address,
                        const std::array<std::uint8_t, 6>& mac) override {
        if (!Calls().create) return Outcome(ENOSYS);
        const auto existing = Find(ifindex, address);
        std::lock_guard lock(Made().mutex);
        const bool ours = Made().entries.count({ifindex, address}) != 0;
        if (existing && !ours && (existing->permanent || existing->mac != mac)) {
            return Outcome(EADDRINUSE);
        }
        MIB_IPNET_ROW2 row = RowFor(ifindex, address);
        std::copy(mac.begin(), mac.end(), row.PhysicalAddress);
        row.PhysicalAddressLength = 6;
        row.State = NlnsReachable;
        // An entry of ours, or a dynamic one for the same MAC, is made afresh.
        if (existing && Calls().remove) Calls().remove(&row);
        const DWORD error = Calls().create(&row);
        if (error != NO_ERROR) return Outcome(ErrnoFromWin32(error));
        Made().entries.insert({ifindex, address});
        return {};
    }

    NeighbourResult Remove(int ifindex, std::uint32_t address) override {
        std::lock_guard lock(Made().mutex);
        if (Made().entries.count({ifindex, address}) == 0) return Outcome(ENOENT);
        if (!Calls().remove) return Outcome(ENOSYS);
        const MIB_IPNET_ROW2 row = RowFor(ifindex, address);
        const DWORD error = Calls().remove(&row);
        Made().entries.erase({ifindex, address});
        return error == NO_ERROR || error == ERROR_NOT_FOUND ? NeighbourResult{}
                                                             : Outcome(ErrnoFromWin32(error));
    }

    std::optional<NeighbourEntry> Find(int ifindex, std::uint32_t address) override {
        MIB_IPNET_TABLE2* table = nullptr;
        if (GetIpNetTable2(AF_INET, &table) != NO_ERROR) return std::nullopt;
        std::optional<NeighbourEntry> found;
        for (ULONG n = 0; n < table->NumEntries && !found; ++n) {
            const MIB_IPNET_ROW2& row = table->Table[n];
            if (row.InterfaceIndex != static_cast<NET_IFINDEX>(ifindex) ||
                ntohl(row.Address.Ipv4.sin_addr.s_addr) != address ||
                row.PhysicalAddressLength != 6 || row.State == NlnsUnreachable ||
                row.State == NlnsIncomplete) {
                continue;
            }
            NeighbourEntry entry;
            std::copy(row.PhysicalAddress, row.PhysicalAddress + 6, entry.mac.begin());
            entry.permanent = row.State == NlnsPermanent;
            found = entry;
        }
        FreeMibTable(table);
        return found;
    }

  private:
    // The entries this process made, which it alone may replace or delete.
    struct MadeEntries {
        std::mutex mutex;
        std::set<std::pair<int, std::uint32_t>> entries;
    };
    static MadeEntries& Made() {
        static MadeEntries made;
        return made;
    }
};

}  // namespace

std::unique_ptr<NeighbourTable> MakeSystemNeighbourTable() {
    return std::make_unique<WindowsNeighbourTable>();
}

}  // namespace fk::platform
