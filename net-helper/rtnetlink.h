#pragma once

// The few rtnetlink requests the helper makes, on the C library alone. Each call opens a socket of
// its own in the calling thread's network namespace, so the calls are safe from any thread.
// Every function returns 0 or the errno of the failure (the kernel's own, where it answered).

#include <cstdint>
#include <optional>
#include <vector>

#include "net-helper/request_checks.h"

namespace fk::nethelper {

// 0 when a card with this index exists, ENODEV otherwise.
int CheckCardExists(int ifindex);
// The card's own IPv4 addresses, host byte order.
int ListCardAddresses(int ifindex, std::vector<std::uint32_t>& addresses);
// The gateways of the IPv4 routes through the card, in every table, host byte order.
int ListCardGateways(int ifindex, std::vector<std::uint32_t>& gateways);
// The entry for the address on the card, none when there is none.
int FindNeighbour(int ifindex, std::uint32_t address, std::optional<Neighbour>& entry);
// Creates the entry as REACHABLE: dynamic, so it ages out like a learned one. Replaces one that is
// there only when told to; otherwise an entry made meanwhile by someone else gives EEXIST.
int SetNeighbour(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6], bool replace);
int DeleteNeighbour(int ifindex, std::uint32_t address);

}  // namespace fk::nethelper
