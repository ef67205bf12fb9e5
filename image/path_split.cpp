#include "image/path_split.h"

namespace fk {

namespace {
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxPart = 255;
}  // namespace

PathParts SplitPath(std::string_view path) {
    path = path.substr(0, kMaxPath);
    PathParts parts;
    const auto slash = path.find_last_of('/');
    const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    parts.directory = std::string(path.substr(0, nameStart));
    const std::string_view name = path.substr(nameStart);
    const auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos) {
        parts.baseName = std::string(name.substr(0, kMaxPart));
    } else {
        parts.baseName = std::string(name.substr(0, dot).substr(0, kMaxPart));
        parts.extension = std::string(name.substr(dot).substr(0, kMaxPart));
    }
    return parts;
}

}  // namespace fk
