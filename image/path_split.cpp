#include "image/path_split.h"

#include <climits>
#include <filesystem>

namespace fk {

namespace {
// The system's own limits: a path the system can open is split whole, so the bare name is
// always its last component.
constexpr std::size_t kMaxPath = PATH_MAX;
constexpr std::size_t kMaxPart = NAME_MAX;
// A slash, and the system's own separator where it has another (Windows' backslash).
constexpr char kSeparators[] = {'/', static_cast<char>(std::filesystem::path::preferred_separator),
                                '\0'};

bool IsUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Half a character would reach the recorder as a broken name, so back off to a whole one.
std::string_view CutToBytes(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    while (end > 0 && IsUtf8Continuation(text[end])) --end;
    return text.substr(0, end);
}
}  // namespace

PathParts SplitPath(std::string_view path) {
    path = CutToBytes(path, kMaxPath);
    PathParts parts;
    const auto slash = path.find_last_of(kSeparators);
    const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    parts.directory = std::string(path.substr(0, nameStart));
    const std::string_view name = path.substr(nameStart);
    const auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos) {
        parts.baseName = std::string(CutToBytes(name, kMaxPart));
    } else {
        parts.baseName = std::string(CutToBytes(name.substr(0, dot), kMaxPart));
        parts.extension = std::string(CutToBytes(name.substr(dot), kMaxPart));
    }
    return parts;
}

}  // namespace fk
