#include "cli/terminal_output.h"

#include <cstdio>

#include "cli/json_text.h"
#include "cli/progress.h"
#include "history/upload_history.h"
#include "net/ipv4.h"

namespace fk::cli {

namespace {

// One event a line: the time added, names that are not UTF-8 kept as their bytes.
void PrintJsonEvent(nlohmann::json event) {
    event["time"] = history::UtcTimeText();
    MarkBytes(event);
    std::printf("%s\n", event.dump().c_str());
    std::fflush(stdout);
}

}  // namespace

std::string EndpointText(const platform::Endpoint& endpoint) {
    return FormatDottedQuad(endpoint.address) + ":" + std::to_string(endpoint.port);
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
    std::printf("\033[%dA\r\033[J", m_drawn);
    m_drawn = 0;
}

void TerminalOutput::Draw() {
    if (m_mode != OutputMode::Terminal) return;
    m_dirty = false;
    const std::vector<std::string> rows = m_rows();
    for (const std::string& row : rows) std::printf("\r\033[K%s\n", TerminalText(row).c_str());
    m_drawn = static_cast<int>(rows.size());
    std::fflush(stdout);
}

}  // namespace fk::cli
