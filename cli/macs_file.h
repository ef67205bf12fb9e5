#pragma once

// The --macs file: one recorder's MAC a line, '#' starts a comment. Read alike by the station
// command and the bench window.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "net/mac.h"

namespace fk::cli {

// A text from outside as it may be echoed, cut short.
std::string Shortened(const std::string& text);

// What a line of MACs names: without its '#' comment, trimmed; nothing when that leaves none.
std::optional<std::string> MacsLineText(const std::string& line);

// The lines of the file at path that name something, trimmed: a regular file, at most 64 KiB
// and 256 characters a line. Else the error text, naming the problem.
std::variant<std::vector<std::string>, std::string> ReadMacsFile(const std::string& path);

// The recorders' MACs of texts (as --mac takes them), in order, each once; else the refusal's
// line, naming the text that is no recorder's MAC.
std::variant<std::vector<MacAddress>, std::string> RecorderMacs(
    const std::vector<std::string>& texts);

}  // namespace fk::cli
