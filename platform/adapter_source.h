#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net-helper/request_checks.h"

namespace fk::platform {

// One IPv4 address of a card, host byte order.
struct CardIpv4 {
    std::uint32_t address = 0;
    unsigned prefixLength = 0;
};

// What the system reports for one network card. Address texts are dotted quads; a card without
// an IPv4 address, or without a default gateway, reports "0.0.0.0".
struct AdapterRecord {
    std::string adapterName;  // the key name: the interface name
    std::string description;  // what the operator sees in the card list
    // The name the system's own network settings show ("Ethernet 2"); none where the interface
    // name is that name.
    std::string friendlyName;
    std::uint32_t index = 0;  // the interface index
    std::string ipAddress;    // first IPv4 address
    std::string ipMask;       // mask of that address
    std::string gateway;      // first default gateway through this card
    // Every gateway through this card, host byte order: of its routes in every table, of each
    // next hop of a multipath route, and of the next-hop objects that routes name.
    std::vector<std::uint32_t> gateways;
    std::vector<CardIpv4> addresses;  // every IPv4 address, the first one first
    // What keeps the card from carrying an upload, by the network helper's own rule.
    nethelper::CardUnfit unfit = nethelper::CardUnfit::None;
};

struct AdapterQuery {
    bool ok = true;
    int error = 0;  // the platform library's code when the query failed
    std::vector<AdapterRecord> adapters;
};

// The PC's network cards, loopback included, in the system's order, each with what keeps it from
// carrying an upload. As many as there are: a PC with many virtual cards lists them all.
class AdapterSource {
  public:
    virtual ~AdapterSource() = default;
    virtual AdapterQuery List() = 0;
};

// Reads the cards of the calling thread's network namespace.
std::unique_ptr<AdapterSource> MakeSystemAdapterSource();

}  // namespace fk::platform
