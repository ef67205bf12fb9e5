#include "cli/terminal_loop.h"

#include <thread>

#include "cli/commands.h"
#include "platform/stop_requests.h"

namespace fk::cli {

void TerminalHost::Push(Report report) {
    {
        std::lock_guard lock(m_mutex);
        m_reports.push_back(std::move(report));
    }
    m_arrived.notify_one();
}

std::deque<Report> TerminalHost::Take(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(m_mutex);
    m_arrived.wait_until(lock, deadline, [this] { return !m_reports.empty(); });
    return std::exchange(m_reports, {});
}

bool RunTerminalLoop(TerminalHost& host, const std::function<void(const Report&)>& handle,
                     const std::function<bool()>& over, const std::function<void()>& tick) {
    // A round at least this often, so that a stop signal and the deadlines are seen.
    constexpr std::chrono::milliseconds kRound{50};
    // Reports are taken in batches, no more often than this: woken for each, as a transfer makes
    // them block by block, this thread would take the CPU the network thread needs.
    constexpr std::chrono::milliseconds kBatch{10};
    auto due = std::chrono::steady_clock::now();
    while (!over()) {
        const std::deque<Report> reports = host.Take(due);
        for (const Report& report : reports) handle(report);
        if (tick) tick();
        if (over()) break;
        if (platform::StopRequested()) return true;
        if (!reports.empty()) std::this_thread::sleep_for(kBatch);
        due = std::chrono::steady_clock::now() + kRound;
    }
    return false;
}

}  // namespace fk::cli
