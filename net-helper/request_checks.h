#pragma once

// The helper's rules, apart from any system call, so that they can be read and tested alone.
// Each returns 0 when the request may go on, otherwise the errno it is refused with.

#include <cstdint>
#include <optional>
#include <span>

#include "net-helper/protocol.h"

namespace fk::nethelper {

// A neighbour entry as the system holds it.
struct Neighbour {
    std::uint16_t state = 0;  // NUD_* bits
    bool hasMac = false;
    std::uint8_t mac[6] = {};
};

// Only the BOOTP and TFTP server ports.
int CheckBindPort(std::uint16_t port);

// Only a recorder's MAC (prefix 02:5E:A1) may be bound to an address.
int CheckRecorderMac(const std::uint8_t (&mac)[6]);

// The address must be the one the address rule gives for one of the card's own IPv4 addresses.
int CheckDerivedAddress(std::uint32_t address, std::span<const std::uint32_t> cardAddresses);

// A gateway of the card's routes is another device's address, whether or not the table holds an
// entry for it now.
int CheckNotAGateway(std::uint32_t address, std::span<const std::uint32_t> gateways);

// An entry the helper did not make may be neither replaced nor deleted when it is PERMANENT (or
// otherwise fixed) or binds the address to another MAC. An unresolved entry binds nothing.
int CheckExistingEntry(const std::optional<Neighbour>& existing, const std::uint8_t (&mac)[6]);

}  // namespace fk::nethelper
