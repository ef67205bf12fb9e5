#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fk {

// Required extensions of the two image kinds, compared after lower-casing.
inline constexpr std::string_view kSystemImageExtension = ".bin";
inline constexpr std::string_view kDataImageExtension = ".fnt";

// Unicode lower-casing of UTF-8 text; letters beyond A to Z are lowered too, and bytes that are
// not UTF-8 stay as they are.
std::string LowerCase(std::string_view text);

// The name the recorder asks for: base name and extension of the path, lower case.
std::string BareImageName(std::string_view path);

// True when the extension of the path's final component, lower-cased, is lowerExtension.
bool HasImageExtension(std::string_view path, std::string_view lowerExtension);

// The path of the file a shown path stands for. The toolkit's dialog, and an operator typing what
// a box shows, give the bytes of a name that is not UTF-8 as U+FFFD: a component holding U+FFFD
// that names nothing is taken for the one entry of its directory shown the same way. Without
// such an entry, or with more than one, the component stays as it is.
std::string ResolveShownPath(const std::string& path);

// True when the path names an existing regular file (links followed); a directory does not count.
bool IsExistingFile(const std::string& path);

// The directory a default search covers: an empty initial directory means the root.
std::string SearchDirectory(std::string_view initialDir);

// directory + separator + name, without doubling a separator the directory already ends in.
std::string JoinPath(std::string_view directory, std::string_view name);

// The first file the directory listing returns whose extension is lowerExtension in any case,
// joined to the searched directory. The listing is not sorted; directories do not count.
std::optional<std::string> FindFirstImage(std::string_view initialDir,
                                          std::string_view lowerExtension);

}  // namespace fk
