#pragma once

// Why a recorder may never ask for its image: the rules behind the terminal's check, apart from
// the system files they read. Pure functions; the texts they parse are the kernel's.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ipv4.h"
#include "net/mac.h"

namespace fk {

// Where the address plan's recorder address would send the BOOTP reply astray.
enum class RecorderAddressConflict { None, OutsideSubnet, Network, Broadcast, Gateway };

// For the card's host address, mask and gateway (0: none); the recorder address is
// DeviceAddressFor(host).
RecorderAddressConflict RecorderAddressConflictFor(Ipv4 host, Ipv4 mask, Ipv4 gateway);

// One bound socket of /proc/net/udp or /proc/net/udp6.
struct UdpSocketEntry {
    std::uint16_t localPort = 0;
    std::uint64_t inode = 0;
};
std::vector<UdpSocketEntry> ParseUdpTable(std::string_view text);

// The effective capability set from the text of /proc/<pid>/status; nothing when absent.
std::optional<std::uint64_t> ParseEffectiveCapabilities(std::string_view statusText);

inline constexpr int kCapNetBindService = 10;
inline constexpr int kCapNetAdmin = 12;

// The capabilities a program file gives the process that runs it, from the bytes of its
// security.capability attribute: its permitted set when the attribute makes them effective, 0
// when it does not; nothing when the attribute is absent or malformed.
std::optional<std::uint64_t> ParseFileCapabilities(std::string_view attribute);

// What decides whether this process can bind ports 67 and 69 and add the recorder's neighbour
// entry: itself when it holds both capabilities, otherwise through the network helper.
struct PrivilegeFacts {
    bool root = false;
    std::uint64_t capabilities = 0;  // this process's effective set
    std::string helperPath;
    int helperAccess = 0;                  // 0 when this user may run the helper, else the errno
    std::uint64_t helperCapabilities = 0;  // what the helper's file gives it
};

struct PrivilegeVerdict {
    bool ok = false;
    std::string text;  // how it may upload, or a hint on what to do
};
PrivilegeVerdict PrivilegeVerdictFor(const PrivilegeFacts& facts);

// Which network manager owns a card, from the texts of its runtime files for it:
// NetworkManager's device state ("managed=true") and systemd-networkd's link state (an
// ADMIN_STATE other than unmanaged or linger); empty texts for absent files.
enum class CardManager { None, NetworkManager, Networkd };
CardManager CardManagerFor(std::string_view networkManagerDevice, std::string_view networkdLink);

}  // namespace fk
