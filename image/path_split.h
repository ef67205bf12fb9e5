#pragma once

#include <string>
#include <string_view>

namespace fk {

struct PathParts {
    std::string directory;  // everything before the final component, separator included
    std::string baseName;   // final component without its extension
    std::string extension;  // last "." of the final component and what follows; may be empty
};

// Cuts the path to the system's path limit (PATH_MAX bytes), then splits it; base name and
// extension are each cut to its name limit (NAME_MAX).
// A cut never splits a UTF-8 character: it falls before the character instead.
PathParts SplitPath(std::string_view path);

}  // namespace fk
