#pragma once

// The terminal's side of a running session, shared by upload and station: the queue the
// session's threads fill, and the loop that empties it until the run is over or a stop signal
// comes.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

#include "cli/commands.h"
#include "cli/system_texts.h"
#include "net/arp_entry.h"
#include "platform/neighbour_table.h"
#include "upgrade/device_arp.h"
#include "upgrade/session_host.h"
#include "upgrade/station_session.h"

namespace fk::cli {

// A recorder's entry was refused: a device that is no recorder answered for its address.
struct AddressHeld {
    Ipv4 address;
};

// A recorder's event, a warning line of the neighbour table, or its refusal of an address, in the
// order they were made.
using Report = std::variant<std::pair<StationRecorder, SessionEvent>, std::string, AddressHeld>;

class TerminalHost final : public StationHost, public DeviceArp {
  public:
    // mask: of the card's subnet, for the broadcast fallback.
    TerminalHost(Ipv4 mask, platform::NeighbourTable& neighbours)
        : m_mask(mask), m_arpEntry(neighbours, [this](const std::string& line) { Push(line); }) {}

    void OnEvent(const StationRecorder& recorder, const SessionEvent& event) override {
        Push(std::pair{recorder, event});
    }
    int SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) override {
        const int error = m_arpEntry.Set(ifindex, address, mac, add);
        if (add) TellAdded(address, error);
        return error;
    }
    std::vector<int> AddDeviceArpEntries(
        int ifindex, std::span<const platform::NeighbourTable::Wanted> entries) override {
        const std::vector<int> errors = m_arpEntry.AddAll(ifindex, entries);
        for (std::size_t n = 0; n < errors.size(); ++n) TellAdded(entries[n].address, errors[n]);
        return errors;
    }
    void ResetErrorReport() override {
        m_arpEntry.ResetErrorReport();
        m_fallbackSaid.store(false);
    }
    Ipv4 BroadcastFallbackMask() const override { return m_arpEntry.CannotMake() ? m_mask : 0; }

    void Push(Report report);
    // The reports made so far; waits for one until the deadline when there are none.
    std::deque<Report> Take(std::chrono::steady_clock::time_point deadline);

  private:
    void TellAdded(Ipv4 address, int error) {
        if (error == EADDRINUSE) Push(AddressHeld{address});
        if (m_arpEntry.CannotMake() && !m_fallbackSaid.exchange(true)) {
            Push(std::string(kBroadcastFallbackText));
        }
    }

    const Ipv4 m_mask;
    DeviceArpEntry m_arpEntry;
    std::atomic<bool> m_fallbackSaid{false};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Report> m_reports;
};

// What a recording host passes on goes nowhere: the terminal shows the events itself.
class QuietHost final : public SessionHost {
  public:
    void OnEvent(const SessionEvent&) override {}
};

// Hands every report to `handle` (what is queued now, then as it comes), calls `tick` after
// each round, until `over` is true or a stop signal comes: whether one came.
bool RunTerminalLoop(TerminalHost& host, const std::function<void(const Report&)>& handle,
                     const std::function<bool()>& over, const std::function<void()>& tick = {});

}  // namespace fk::cli
