#pragma once

// The few rtnetlink requests the helper makes, on the C library alone. Each call opens a socket of
// its own in the calling thread's network namespace, so the calls are safe from any thread; while
// a NetlinkBatch lives, the calls of its thread share its socket instead. Every function returns
// 0 or the errno of the failure (the kernel's own, where it answered).

#include <linux/neighbour.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "net-helper/request_checks.h"

namespace fk::nethelper {

// One socket for the calls the constructing thread makes while it lives, in the namespace the
// thread was in at the construction (so the thread must stay there): a neighbour add makes
// several requests, and a socket of their own each cost more than the requests. Without a
// socket (none could be opened) each call opens its own, as without a batch.
class NetlinkBatch {
  public:
    NetlinkBatch();
    ~NetlinkBatch();
    NetlinkBatch(const NetlinkBatch&) = delete;
    NetlinkBatch& operator=(const NetlinkBatch&) = delete;
};

// The states of an entry that binds its address to a link-layer address (the kernel's NUD_VALID,
// which its headers keep to themselves).
inline constexpr std::uint16_t kResolvedStates =
    NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT | NUD_NOARP;

// The card with this index; ENODEV when there is none.
int ReadCard(int ifindex, Card& card);

struct InterfaceAddress {
    int ifindex = 0;
    CardAddress address;
};
// Every IPv4 address of every card, loopback included.
int ListAddresses(std::vector<InterfaceAddress>& addresses);

// The gateways through the card, host byte order: of its IPv4 routes in every table, each next
// hop of a multipath route, and every next-hop object on the card (which routes name by id).
int ListCardGateways(int ifindex, std::vector<std::uint32_t>& gateways);

struct NeighbourAt {
    int ifindex = 0;
    std::uint32_t address = 0;
    Neighbour entry;
};
// The IPv4 neighbour entries of the card (0: of every card).
int ListNeighbours(int ifindex, std::vector<NeighbourAt>& entries);
// The entry for the address on the card, none when there is none.
int FindNeighbour(int ifindex, std::uint32_t address, std::optional<Neighbour>& entry);

// Creates the entry as REACHABLE, tagged kEntryProtocol: dynamic, so it ages out like a learned
// one. An entry there that is resolved to another MAC is replaced only when told to; otherwise
// the kernel keeps it (the caller reads the entry back).
int SetNeighbour(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                 bool overrideResolved);
// Has the kernel resolve the address on the card afresh: its entry is deleted, then made anew,
// tagged, with NTF_USE (an ARP request leaves the card at once). The entry stays in the table,
// unresolved until a device answers, for the caller to read, replace or delete.
int AskNeighbour(int ifindex, std::uint32_t address);
int DeleteNeighbour(int ifindex, std::uint32_t address);

}  // namespace fk::nethelper
