#pragma once

#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/neighbour_table.h"

namespace fk {

// The neighbour entry that lets the PC reach a recorder that has no address yet: the recorder
// address bound to its MAC on the selected card, dynamic so that it ages out. Callable from any
// thread; the system serialises the table changes.
class DeviceArpEntry {
  public:
    using ErrorSink = std::function<void(const std::string& line)>;

    // Failures go to errorSink, at most once per upload; the default writes to stderr.
    explicit DeviceArpEntry(platform::NeighbourTable& table, ErrorSink errorSink = {});

    // Adds (add = true) or deletes the entry for address on interface ifindex: 0 or the errno.
    // Failures change nothing for the operator: the upload goes on without the entry. A delete
    // that finds no entry is not a failure. An add refused because another device holds the
    // address (EADDRINUSE) gets no line: the caller tells it as the address held; nor does an
    // add whose address is still being asked on the wire (EINPROGRESS): a later add decides.
    int Set(int ifindex, Ipv4 address, const MacAddress& mac, bool add);

    // Adds the entries of several recorders on the card together: each result as Set gives it.
    std::vector<int> AddAll(int ifindex, std::span<const platform::NeighbourTable::Wanted> entries);

    // Called as an upload starts: its first failure is reported again.
    void ResetErrorReport();

    // Whether the last add failed because no entry can be made here at all: the user lacks the
    // rights (EACCES, EPERM) or the system the call (ENOSYS).
    bool CannotMake() const { return m_cannotMake.load(); }

  private:
    // The result of a change, reported as Set says: 0 or the errno.
    int Take(bool add, const platform::NeighbourResult& result);
    void Report(const std::string& message);

    platform::NeighbourTable& m_table;
    ErrorSink m_errorSink;
    // The announcer adds the entry every 30 ms; one line per upload is enough to tell why.
    std::atomic<bool> m_errorReported{false};
    std::atomic<bool> m_cannotMake{false};
};

}  // namespace fk
