#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fk::platform {

struct NeighbourResult {
    bool ok = true;
    int error = 0;        // errno-style code of the failure
    std::string message;  // the system's text for that code
};

// An entry the table holds for an address that resolved to a link-layer address.
struct NeighbourEntry {
    std::array<std::uint8_t, 6> mac{};
    bool permanent = false;  // set by an administrator, never aged out
};

// The system's neighbour (ARP) table.
class NeighbourTable {
  public:
    virtual ~NeighbourTable() = default;
    // Binds an IPv4 address (host byte order) to a MAC on one interface as a dynamic entry. An
    // entry this process did not make is never replaced when it is permanent or names another
    // MAC: that is refused with EADDRINUSE. A system that asks the wire before a first entry
    // answers EINPROGRESS meanwhile, without waiting; the same add asked again decides.
    virtual NeighbourResult Add(int ifindex, std::uint32_t address,
                                const std::array<std::uint8_t, 6>& mac) = 0;
    // The entries of several recorders on one card, their results in order, asked together
    // where the system can (one round trip for a bench).
    struct Wanted {
        std::uint32_t address;
        std::array<std::uint8_t, 6> mac;
    };
    virtual std::vector<NeighbourResult> AddAll(int ifindex, std::span<const Wanted> entries) {
        std::vector<NeighbourResult> results;
        for (const Wanted& entry : entries)
            results.push_back(Add(ifindex, entry.address, entry.mac));
        return results;
    }
    // Deletes only an entry this process made (ENOENT for any other).
    virtual NeighbourResult Remove(int ifindex, std::uint32_t address) = 0;
    // What holds the address on the interface now, if anything does; needs no privilege.
    virtual std::optional<NeighbourEntry> Find(int ifindex, std::uint32_t address) = 0;
};

std::unique_ptr<NeighbourTable> MakeSystemNeighbourTable();

}  // namespace fk::platform
