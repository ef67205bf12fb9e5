#include "cli/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

}  // namespace fk::cli
