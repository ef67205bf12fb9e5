#include "cli/terminal_output.h"

#include <cstdio>

#include "cli/json_text.h"
#include "cli/progress.h"
#include "history/upload_history.h"
#include "net/ipv4.h"
#include "platform/console.h"

namespace fk::cli {

namespace {

// One event a line: the time added, names that are not UTF-8 kept as their bytes.
void PrintJsonEvent(nlohmann::json event) {
    event["time"] = history::UtcTimeText();
    MarkBytes(event);
    std::printf("%s\n", event.dump().c_str());
    std::fflush(stdout);
}

// The row as it fits: a row that wraps takes two screen rows, and a redraw would take back
// only one. The last column is left free, where some consoles wrap at once.
std::string Fitted(std::string row, int columns) {
    if (columns <= 1) return row;
    int shown = 0;
    for (std::size_t at = 0; at < row.size(); ++at) {
        // A UTF-8 continuation byte is part of the character before it.
        if ((static_cast<unsigned char>(row[at]) & 0xC0) == 0x80) continue;
        if (++shown == columns) {
            row.resize(at);
            break;
        }
    }
    return row;
}

}  // namespace

TerminalScreen TerminalScreen::System() {
    return {platform::ConsoleColumns(), platform::EraseRowsAbove};
}

std::string EndpointText(const platform::Endpoint& endpoint) {
    return FormatDottedQuad(endpoint.address) + ":" + std::to_string(endpoint.port);
}

nlohmann::json ProgressEvent(const ProgressSnapshot& snapshot, int percent) {
    const auto rate = Rate(snapshot);
    return {{"event", "progress"},
            {"bytes", snapshot.bytes},
            {"size", snapshot.total},
            {"percent", percent},
            {"bytes_per_second", rate ? *rate : 0.0}};
}

void TerminalOutput::Line(const std::string& text) {
    if (m_mode == OutputMode::Json) return;
    Clear();
    std::printf("%s\n", TerminalText(text).c_str());
    std::fflush(stdout);
    Draw();
}

void TerminalOutput::Error(const std::string& text) {
    Clear();
    PrintError(text);
    Draw();
}

void TerminalOutput::Emit(nlohmann::json event, const StationRecorder* recorder) {
    if (m_mode != OutputMode::Json) return;
    if (recorder) {
        event["mac"] = FormatMac(recorder->mac);
        event["address"] = FormatDottedQuad(recorder->address);
    }
    PrintJsonEvent(std::move(event));
}

void TerminalOutput::Tell(const std::string& text, nlohmann::json event,
                          const StationRecorder* recorder) {
    Line(text);
    Emit(std::move(event), recorder);
}

void TerminalOutput::Changed(const std::string& line) {
    if (m_mode == OutputMode::Plain) Line(line);
    Moved();
}

void TerminalOutput::Moved() {
    m_dirty = true;
    Redraw();
}

void TerminalOutput::Redraw() {
    if (m_mode != OutputMode::Terminal || !m_dirty) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastDraw < kRedrawInterval) return;
    m_lastDraw = now;
    Clear();
    Draw();
}

void TerminalOutput::Keep() {
    if (m_mode != OutputMode::Terminal) return;
    Clear();
    Draw();
    m_drawn = 0;
}

void TerminalOutput::Clear() {
    if (m_mode != OutputMode::Terminal || m_drawn == 0) return;
    m_screen.erase(m_drawn);
    m_drawn = 0;
}

void TerminalOutput::Draw() {
    if (m_mode != OutputMode::Terminal) return;
    m_dirty = false;
    const std::vector<std::string> rows = m_rows();
    for (const std::string& row : rows) {
        std::printf("%s\n", Fitted(TerminalText(row), m_screen.columns).c_str());
    }
    m_drawn = static_cast<int>(rows.size());
    std::fflush(stdout);
}

}  // namespace fk::cli
