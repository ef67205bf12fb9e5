#pragma once

// The few rtnetlink requests the helper makes, on the C library alone. Each call opens a socket of
// its own in the calling thread's network namespace, so the calls are safe from any thread.
// Every function returns 0 or the errno of the failure (the kernel's own, where it answered).

#include <linux/neighbour.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "net-helper/request_checks.h"

namespace fk::nethelper {

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
// Has the kernel resolve addresses afresh and waits for the answers together, so that the first
// entries of a bench of recorders wait once, not once each. Listening starts before the first
// request goes out, so that no answer comes before the ear.
class NeighbourProbes {
  public:
    NeighbourProbes() = default;
    ~NeighbourProbes();
    NeighbourProbes(const NeighbourProbes&) = delete;
    NeighbourProbes& operator=(const NeighbourProbes&) = delete;

    // Asks for the address on the card: its entry is deleted, then made anew, tagged, with
    // NTF_USE (an ARP request leaves the card at once). The probe's entry stays in the table,
    // unresolved or resolved, for the caller to replace or delete.
    int Ask(int ifindex, std::uint32_t address);
    // Waits up to `wait` for every address asked to be answered. A readable `interrupt`
    // descriptor (-1: none) ends the wait with ECANCELED.
    int Wait(std::chrono::milliseconds wait, int interrupt);
    // The resolved entry of an address asked, once waited for; none when nobody answered.
    std::optional<Neighbour> Answer(int ifindex, std::uint32_t address) const;

  private:
    struct Asked {
        int ifindex;
        std::uint32_t address;
        std::optional<Neighbour> answer;
    };
    int Listen();
    bool Take(const NeighbourAt& at);
    int ReadTable();

    int m_notices = -1;
    std::vector<Asked> m_asked;
};
int DeleteNeighbour(int ifindex, std::uint32_t address);

}  // namespace fk::nethelper
