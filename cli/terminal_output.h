#pragma once

// What a running upload or station shows: lines and errors above a block of rows that a terminal
// redraws in place (the upload's progress line, the station's table), into a pipe a line per
// change, or with --json one event a line. Lines, rows and errors carry names from outside, so
// they are written as TerminalText.

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/udp_socket.h"
#include "upgrade/station_session.h"

namespace fk::cli {

// The terminal the block is redrawn on: its width and its way of taking rows back.
struct TerminalScreen {
    int columns = 0;  // a row is cut to fit within them; 0: never cut
    std::function<void(int rows)> erase;
    static TerminalScreen System();
};

class TerminalOutput {
  public:
    // rows: the block as it reads now, a line a row; none while there is nothing to show.
    TerminalOutput(OutputMode mode, std::function<std::vector<std::string>()> rows,
                   TerminalScreen screen = TerminalScreen::System())
        : m_mode(mode), m_rows(std::move(rows)), m_screen(std::move(screen)) {}

    OutputMode Mode() const { return m_mode; }

    // A line above the block; nothing with --json.
    void Line(const std::string& text);
    // An error above the block, on standard error whatever the mode.
    void Error(const std::string& text);
    // An event, with --json only; with a recorder, its MAC and address.
    void Emit(nlohmann::json event, const StationRecorder* recorder = nullptr);
    // The text as a line, or the event with --json.
    void Tell(const std::string& text, nlohmann::json event,
              const StationRecorder* recorder = nullptr);
    // A row changed: into a pipe the line that says so, on a terminal the block is redrawn.
    void Changed(const std::string& line);
    // Rows moved on: redrawn on a terminal; nothing into a pipe.
    void Moved();
    // On a terminal, the block as it reads now if it changed, at most every kRedrawInterval.
    void Redraw();
    // The block drawn as it reads now stays where it is; what comes next goes below it.
    void Keep();

  private:
    void Clear();
    void Draw();

    const OutputMode m_mode;
    const std::function<std::vector<std::string>()> m_rows;
    const TerminalScreen m_screen;
    std::chrono::steady_clock::time_point m_lastDraw;
    int m_drawn = 0;  // lines of the block on the screen, the cursor below them
    bool m_dirty = false;
};

// "192.168.1.11:2001"
std::string EndpointText(const platform::Endpoint& endpoint);

struct ProgressSnapshot;
// The progress event of --json: the bytes acknowledged of the size, at percent, and the rate.
nlohmann::json ProgressEvent(const ProgressSnapshot& snapshot, int percent);

}  // namespace fk::cli
