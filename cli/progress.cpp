#include "cli/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "upgrade/transfer_percent.h"

namespace fk::cli {

std::uint64_t AcknowledgedBytes(std::uint64_t blockNo, std::uint64_t size) {
    if (blockNo <= 1) return 0;
    return std::min<std::uint64_t>((blockNo - 1) * 512, size);
}

std::optional<double> Rate(const ProgressSnapshot& progress) {
    if (progress.elapsed.count() <= 0) return std::nullopt;
    return static_cast<double>(progress.bytes) * 1000.0 /
           static_cast<double>(progress.elapsed.count());
}

std::string FormatBytes(double bytes) {
    char text[32] = {};
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    } else if (bytes < 1024.0 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    }
    return text;
}

int TenthDone(const ProgressSnapshot& progress) {
    return std::clamp(progress.percent, 0, 100) / 10;
}

std::string FormatProgressLine(const ProgressSnapshot& progress, int barWidth) {
    const int percent = std::clamp(progress.percent, 0, 100);
    const int filled = percent * barWidth / 100;
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(barWidth - filled), ' ') + "]";
    char percentText[8] = {};
    std::snprintf(percentText, sizeof percentText, "%4d%%", percent);
    line += percentText;
    line += "  " + FormatBytes(static_cast<double>(progress.bytes)) + " / " +
            FormatBytes(static_cast<double>(progress.total));
    const auto rate = Rate(progress);
    if (!rate || *rate <= 0) return line + "  --/s  -- left";
    line += "  " + FormatBytes(*rate) + "/s";
    const auto secondsLeft = static_cast<long long>(std::ceil(
        static_cast<double>(progress.total - std::min(progress.bytes, progress.total)) / *rate));
    char left[32] = {};
    std::snprintf(left, sizeof left, "  %lld:%02lld left", secondsLeft / 60, secondsLeft % 60);
    return line + left;
}

void TransferProgress::Begin(std::uint64_t size, Clock::time_point now) {
    *this = {};
    m_size = size;
    m_blockTotal = (size + 511) / 512 + 1;
    m_begunAt = now;
}

bool TransferProgress::Acknowledge(std::uint64_t blockNo) {
    if (!AcknowledgementMovesOn(blockNo, m_furthestAck, m_blockTotal)) return false;
    m_furthestAck = blockNo;
    return true;
}

void TransferProgress::End(bool completed, Clock::time_point now) {
    m_completed = completed;
    m_endedAt = now;
}

ProgressSnapshot TransferProgress::Snapshot(Clock::time_point now) const {
    return {
        m_completed ? m_size : AcknowledgedBytes(m_furthestAck, m_size), m_size,
        std::chrono::duration_cast<std::chrono::milliseconds>(m_endedAt.value_or(now) - m_begunAt),
        m_completed ? 100 : TransferPercent(m_furthestAck, m_blockTotal)};
}

}  // namespace fk::cli
