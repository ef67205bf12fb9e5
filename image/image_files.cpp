#include "image/image_files.h"

#include <filesystem>
#include <system_error>

#include "image/path_split.h"
#include "image/utf8.h"
#include "platform/text_case.h"

namespace fk {

std::string LowerCase(std::string_view text) {
    std::string lowered;
    lowered.reserve(text.size());
    while (!text.empty()) {
        char32_t codePoint = 0;
        std::size_t length = Utf8SequenceLength(text, codePoint);
        if (length == 0) {
            lowered += text.front();
            length = 1;
        } else {
            AppendUtf8(lowered, platform::LowerCodePoint(codePoint));
        }
        text.remove_prefix(length);
    }
    return lowered;
}

std::string BareImageName(std::string_view path) {
    const PathParts parts = SplitPath(path);
    return LowerCase(parts.baseName + parts.extension);
}

bool HasImageExtension(std::string_view path, std::string_view lowerExtension) {
    return LowerCase(SplitPath(path).extension) == lowerExtension;
}

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kShownForBytes = "\xEF\xBF\xBD";  // U+FFFD

// A name as a file dialog shows it: every byte that is not UTF-8 as U+FFFD.
std::string ShownName(std::string_view name) {
    std::string shown;
    shown.reserve(name.size());
    while (!name.empty()) {
        char32_t codePoint = 0;
        std::size_t length = Utf8SequenceLength(name, codePoint);
        if (length == 0) {
            shown += kShownForBytes;
            length = 1;
        } else {
            shown += name.substr(0, length);
        }
        name.remove_prefix(length);
    }
    return shown;
}

// The entry of the directory (a prefix of a path, empty or ending in '/') that is shown as part.
std::string EntryShownAs(const std::string& directory, const std::string& part) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(directory + part, error))) return part;
    std::optional<std::string> match;
    for (fs::directory_iterator entries(directory.empty() ? "." : directory, error), end;
         !error && entries != end; entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        if (ShownName(name) != ShownName(part)) continue;
        if (match) return part;  // two look alike: neither is guessed
        match = name;
    }
    return match.value_or(part);
}

}  // namespace

std::string ResolveShownPath(const std::string& path) {
    std::error_code error;
    if (path.find(kShownForBytes) == std::string::npos ||
        fs::exists(fs::symlink_status(path, error))) {
        return path;
    }
    std::string resolved;
    std::size_t at = 0;
    for (;;) {
        const std::size_t slash = path.find('/', at);
        std::string part =
            path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part.find(kShownForBytes) != std::string::npos) part = EntryShownAs(resolved, part);
        resolved += part;
        if (slash == std::string::npos) return resolved;
        resolved += '/';
        at = slash + 1;
    }
}

bool IsExistingFile(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_regular_file(path, error);
}

std::string SearchDirectory(std::string_view initialDir) {
    return initialDir.empty() ? std::string("/") : std::string(initialDir);
}

std::string JoinPath(std::string_view directory, std::string_view name) {
    // The system's own separator, so a path shown in the box reads as the system writes paths;
    // a directory that ends in either separator (Windows takes both) needs none.
    constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
    std::string joined(directory);
    if (joined.empty() || (joined.back() != '/' && joined.back() != kSeparator))
        joined += kSeparator;
    joined += name;
    return joined;
}

std::optional<std::string> FindFirstImage(std::string_view initialDir,
                                          std::string_view lowerExtension) {
    const std::string directory = SearchDirectory(initialDir);
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    if (error) return std::nullopt;
    // An unreadable entry ends the search quietly, as finding nothing does.
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        std::error_code statusError;
        if (HasImageExtension(name, lowerExtension) && entries->is_regular_file(statusError)) {
            return JoinPath(directory, name);
        }
    }
    return std::nullopt;
}

}  // namespace fk
