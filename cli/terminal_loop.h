#pragma once

// The terminal's side of a running session, shared by upload and station: the queue the
// session's threads fill, and the loop that empties it until the run is over or a stop signal
// comes.

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
#include "platform/neighbour_table.h"
#include "upgrade/recorder_entries.h"
#include "upgrade/session_host.h"
#include "upgrade/station_session.h"

namespace fk::cli {

// A recorder's event, or a warning line of the neighbour table, in the order they were made.
using Report = std::variant<std::pair<StationRecorder, SessionEvent>, std::string>;

class TerminalHost final : public StationHost {
  public:
    // mask: of the card's subnet, for the broadcast fallback.
    TerminalHost(Ipv4 mask, platform::NeighbourTable& neighbours)
        : m_entries(neighbours, {[this](const std::string& line) { Push(line); },
                                 [this] { Push(std::string(kBroadcastFallbackText)); }}) {
        m_entries.SetCardMask(mask);
    }

    void OnEvent(const StationRecorder& recorder, const SessionEvent& event) override {
        Push(std::pair{recorder, event});
    }
    // The recorders' entries, for the session: what they meet comes as reports.
    DeviceArp& Entries() { return m_entries; }

    void Push(Report report);
    // The reports made so far; waits for one until the deadline when there are none.
    std::deque<Report> Take(std::chrono::steady_clock::time_point deadline);

  private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Report> m_reports;
    RecorderEntries m_entries;
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
