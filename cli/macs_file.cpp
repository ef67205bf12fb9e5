#include "cli/macs_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "cli/commands.h"
#include "feedback/refusal_texts.h"

namespace fk::cli {

std::string Shortened(const std::string& text) {
    constexpr std::size_t kShown = 64;
    return text.size() > kShown ? text.substr(0, kShown) + "..." : text;
}

std::optional<std::string> MacsLineText(const std::string& line) {
    const std::string named = line.substr(0, line.find('#'));
    const auto first = named.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::nullopt;
    return named.substr(first, named.find_last_not_of(" \t\r") - first + 1);
}

std::variant<std::vector<std::string>, std::string> ReadMacsFile(const std::string& path) {
    constexpr std::uintmax_t kMaxMacsFileSize = 64 * 1024;
    constexpr std::size_t kMaxMacsLine = 256;
    const std::string named = "--macs " + Shortened(path) + ": ";
    const std::string unreadable = "Cannot read the MAC list File (" + Shortened(path) + ")";
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) return unreadable;
    if (!std::filesystem::is_regular_file(status)) return named + "not a regular file";
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > kMaxMacsFileSize) {
        return named + "larger than " + std::to_string(kMaxMacsFileSize / 1024) +
               " KiB; a MAC list is one MAC a line";
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) return unreadable;
    std::vector<std::string> texts;
    std::size_t number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        if (line.size() > kMaxMacsLine) {
            return named + "line " + std::to_string(number) + " is longer than " +
                   std::to_string(kMaxMacsLine) + " characters";
        }
        if (auto text = MacsLineText(line)) texts.push_back(std::move(*text));
    }
    return texts;
}

std::variant<std::vector<MacAddress>, std::string> RecorderMacs(
    const std::vector<std::string>& texts) {
    std::vector<MacAddress> macs;
    for (const std::string& text : texts) {
        MacAddress mac = kRecorderMacPrefix;
        if (!ParseRecorderMacArgument(text, mac)) {
            return RefusalLine(kMacRefusalCaption,
                               std::string(kMacRefusalText) + ": '" + Shortened(text) + "'");
        }
        if (std::find(macs.begin(), macs.end(), mac) == macs.end()) macs.push_back(mac);
    }
    return macs;
}

}  // namespace fk::cli
