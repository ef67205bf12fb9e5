// SplitPath for any path. Input byte 0 picks how the rest becomes a path: as raw bytes, or as
// 16-bit values written as UTF-8 characters of one to three bytes (with '/' and '.' mixed in),
// so that cuts land inside multi-byte characters often.
//
// Checked: the parts are slices of the path in order (directory, then base name; the extension
// starts with the name's last dot), within their limits; a part of a valid UTF-8 path is valid
// UTF-8 and loses less than one character to a cut; and with nothing to cut the three parts
// put together give the path back.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_require.h"
#include "image/path_split.h"

namespace {

constexpr std::size_t kMaxPath = PATH_MAX;
constexpr std::size_t kMaxPart = NAME_MAX;
constexpr std::size_t kLongestCharacter = 4;

void AppendUtf8(std::string& out, std::uint16_t value) {
    if (value % 7 == 0) {
        out += '/';
    } else if (value % 11 == 0) {
        out += '.';
    } else if (value < 0x80) {
        out += static_cast<char>(value);
    } else if (value < 0x800) {
        out += static_cast<char>(0xC0 | value >> 6);
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else if (value >= 0xD800 && value < 0xE000) {
        out += "\xF0\x9F\x92\xBE";  // surrogates are not characters: a 4-byte one instead
    } else {
        out += static_cast<char>(0xE0 | value >> 12);
        out += static_cast<char>(0x80 | (value >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    }
}

std::string PathFrom(std::span<const std::uint8_t> input) {
    if (input.empty()) return {};
    const auto rest = input.subspan(1);
    if ((input[0] & 1) == 0) return {rest.begin(), rest.end()};
    std::string path;
    for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
        AppendUtf8(path, static_cast<std::uint16_t>(rest[i] << 8 | rest[i + 1]));
    }
    return path;
}

// Structure only (lead bytes followed by the right number of continuation bytes): that is what
// a cut can break.
bool IsWellFormedUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80             ? 1
                                   : (lead & 0xE0) == 0xC0 ? 2
                                   : (lead & 0xF0) == 0xE0 ? 3
                                   : (lead & 0xF8) == 0xF0 ? 4
                                                           : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A part cut from source to at most limit bytes keeps all but the last, partly fitting character.
void RequireFairCut(std::string_view part, std::string_view source, std::size_t limit) {
    FUZZ_REQUIRE(part.size() <= limit);
    const std::size_t whole = std::min(source.size(), limit);
    FUZZ_REQUIRE(part.size() + kLongestCharacter > whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = PathFrom({data, size});
    const fk::PathParts parts = fk::SplitPath(path);
    const std::string& dir = parts.directory;
    const std::string& base = parts.baseName;
    const std::string& ext = parts.extension;

    FUZZ_REQUIRE(dir.size() + base.size() + ext.size() <= kMaxPath);
    FUZZ_REQUIRE(base.size() <= kMaxPart && ext.size() <= kMaxPart);
    FUZZ_REQUIRE(StartsWith(path, dir) && (dir.empty() || dir.back() == '/'));
    FUZZ_REQUIRE(StartsWith(std::string_view(path).substr(dir.size()), base));
    FUZZ_REQUIRE(base.find('/') == std::string::npos && ext.find('/') == std::string::npos);
    FUZZ_REQUIRE(ext.empty() || (ext[0] == '.' && ext.find('.', 1) == std::string::npos));

    // The same split without any limit.
    const auto slash = path.find_last_of('/');
    const std::string_view name =
        std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    const auto dot = name.find_last_of('.');
    const std::string_view fullBase = name.substr(0, dot);
    const std::string_view fullExt = dot == std::string_view::npos ? "" : name.substr(dot);

    if (path.size() <= kMaxPath && fullBase.size() <= kMaxPart && fullExt.size() <= kMaxPart) {
        FUZZ_REQUIRE(dir + base + ext == path);
        FUZZ_REQUIRE(base == fullBase && ext == fullExt);
        return 0;
    }
    if (!IsWellFormedUtf8(path)) return 0;
    FUZZ_REQUIRE(IsWellFormedUtf8(dir) && IsWellFormedUtf8(base) && IsWellFormedUtf8(ext));
    if (path.size() <= kMaxPath) {
        // Only the name's parts were cut.
        FUZZ_REQUIRE(dir.size() + fullBase.size() + fullExt.size() == path.size());
        RequireFairCut(base, fullBase, kMaxPart);
        RequireFairCut(ext, fullExt, kMaxPart);
        FUZZ_REQUIRE(StartsWith(fullExt, ext));
    } else {
        // The whole path was cut first: nothing of it is lost but the last partial character.
        const std::size_t kept = dir.size() + base.size() + ext.size();
        const bool partsUncut = base.size() + kLongestCharacter <= kMaxPart &&
                                ext.size() + kLongestCharacter <= kMaxPart;
        if (partsUncut) {
            FUZZ_REQUIRE(kept + kLongestCharacter > kMaxPath);
        }
    }
    return 0;
}
