#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace fk::platform {

struct NeighbourResult {
    bool ok = true;
    int error = 0;        // errno-style code of the failure
    std::string message;  // the system's text for that code
};

// The system's neighbour (ARP) table.
class NeighbourTable {
  public:
    virtual ~NeighbourTable() = default;
    // Binds an IPv4 address (host byte order) to a MAC on one interface as a dynamic entry.
    virtual NeighbourResult Add(int ifindex, std::uint32_t address,
                                const std::array<std::uint8_t, 6>& mac) = 0;
    virtual NeighbourResult Remove(int ifindex, std::uint32_t address) = 0;
};

std::unique_ptr<NeighbourTable> MakeSystemNeighbourTable();

}  // namespace fk::platform
