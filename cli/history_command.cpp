// flashkit-cli history: the upload record as a table, JSON or CSV.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "history/upload_history.h"

namespace fk::cli {

namespace {

// "2026-12-07", "2026-12-07 14:30", "2026-12-07T14:30:05" (local time), or an age such as
// "90m", "12h", "7d": the stored (UTC) time text to compare with, or nothing when malformed.
std::optional<std::string> SinceText(const std::string& text) {
    std::smatch match;
    static const std::regex age(R"((\d{1,6})([mhd]))");
    if (std::regex_match(text, match, age)) {
        const long long unit = match[2] == "m" ? 60 : match[2] == "h" ? 3600 : 86400;
        return history::UtcTimeText(static_cast<std::int64_t>(std::time(nullptr)) -
                                    std::stoll(match[1]) * unit);
    }
    static const std::regex date(R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?)");
    if (!std::regex_match(text, match, date)) return std::nullopt;
    std::tm local{};
    local.tm_year = std::stoi(match[1]) - 1900;
    local.tm_mon = std::stoi(match[2]) - 1;
    local.tm_mday = std::stoi(match[3]);
    local.tm_hour = match[4].matched ? std::stoi(match[4]) : 0;
    local.tm_min = match[5].matched ? std::stoi(match[5]) : 0;
    local.tm_sec = match[6].matched ? std::stoi(match[6]) : 0;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    if (seconds == -1) return std::nullopt;
    return history::UtcTimeText(static_cast<std::int64_t>(seconds));
}

nlohmann::ordered_json RowJson(const history::UploadRow& row) {
    return {{"id", row.id},
            {"started", row.started},
            {"ended", row.ended},
            {"program", row.start.program},
            {"card", row.start.card},
            {"host_address", row.start.hostAddress},
            {"recorder_address", row.start.recorderAddress},
            {"recorder_mac", row.start.recorderMac},
            {"image_path", row.start.imagePath},
            {"kind", row.start.kind},
            {"size", row.end.size},
            {"bytes_served", row.end.bytesServed},
            {"sha256", row.end.sha256},
            {"blocks", row.end.blocks},
            {"resends", row.end.resends},
            {"outcome", row.end.outcome},
            {"final_text", row.end.finalText}};
}

// The fields that carry names from outside (a card's, a file's), which may be any bytes. The CSV
// has a column for their bytes in hex, empty where the text is shown as it is, so its columns
// stay fixed.
constexpr const char* kByteFields[] = {"card", "image_path", "final_text"};

// Every field as the terminal shows it: the record is a file any program may have written.
std::string FieldText(const nlohmann::ordered_json& field) {
    return TerminalText(field.is_string() ? field.get<std::string>() : field.dump());
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

int RunHistory(const HistoryOptions& options) {
    history::HistoryFilter filter;
    if (!options.mac.empty()) {
        for (const char c : options.mac) {
            filter.recorderMac += c == '-' ? ':' : static_cast<char>(std::tolower(c));
        }
    }
    if (!options.since.empty()) {
        const auto since = SinceText(options.since);
        if (!since) {
            PrintError(
                "--since takes a date (2026-12-07), a local time (2026-12-07 14:30) or an "
                "age (90m, 12h, 7d), not '" +
                options.since + "'");
            return kExitBadInput;
        }
        filter.since = *since;
    }
    const std::string path =
        options.historyPath.empty() ? history::DefaultHistoryPath() : options.historyPath;
    const auto query = history::ReadHistory(path, filter);
    if (!query.ok) {
        PrintError(query.error);
        return kExitProblem;
    }
    if (options.json) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (const auto& row : query.rows) {
            auto fields = RowJson(row);
            MarkBytes(fields);
            rows.push_back(std::move(fields));
        }
        std::printf("%s\n", rows.dump(2).c_str());
        return kExitOk;
    }
    if (options.csv) {
        const auto columns = RowJson({});
        std::string header;
        for (const auto& [key, value] : columns.items()) {
            header += (header.empty() ? "" : ",") + key;
        }
        for (const char* field : kByteFields) header += std::string(",") + field + kBytesSuffix;
        std::printf("%s\n", header.c_str());
        for (const auto& row : query.rows) {
            const auto fields = RowJson(row);
            std::string line;
            for (const auto& [key, value] : columns.items()) {
                line += (line.empty() ? "" : ",") + CsvField(FieldText(fields[key]));
            }
            for (const char* field : kByteFields) {
                const auto& bytes = fields[field].get_ref<const std::string&>();
                line += "," + (TerminalText(bytes) == bytes ? std::string() : HexBytes(bytes));
            }
            std::printf("%s\n", line.c_str());
        }
        return kExitOk;
    }
    if (query.rows.empty()) {
        std::printf("No uploads recorded in %s\n", TerminalText(path).c_str());
        return kExitOk;
    }
    std::vector<std::vector<std::string>> table{{"STARTED", "OUTCOME", "RECORDER MAC",
                                                 "RECORDER ADDRESS", "CARD", "KIND", "SIZE",
                                                 "IMAGE"}};
    for (const auto& row : query.rows) {
        table.push_back({history::LocalTimeText(row.started), row.end.outcome,
                         row.start.recorderMac, row.start.recorderAddress, row.start.card,
                         row.start.kind, std::to_string(row.end.size), row.start.imagePath});
    }
    for (auto& line : table) {
        for (std::string& cell : line) cell = TerminalText(cell);
    }
    std::vector<std::size_t> widths(table[0].size(), 0);
    for (const auto& line : table) {
        for (std::size_t n = 0; n < line.size(); ++n)
            widths[n] = std::max(widths[n], line[n].size());
    }
    for (const auto& line : table) {
        std::string text;
        for (std::size_t n = 0; n + 1 < line.size(); ++n) {
            text += line[n] + std::string(widths[n] - line[n].size() + 2, ' ');
        }
        std::printf("%s%s\n", text.c_str(), line.back().c_str());
    }
    return kExitOk;
}

}  // namespace fk::cli
