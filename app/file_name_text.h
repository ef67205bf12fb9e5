#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace fk {

// File names as the window holds them (text) and as the file system holds them (bytes). Bytes
// that are not UTF-8 travel through the text as the lone surrogates U+DC80 to U+DCFF, one for
// each byte, so any name the system can open comes back from the window byte for byte.
QString FileNameText(std::string_view bytes);
std::string FileNameBytes(const QString& text);

// The bytes of the file a path box's text stands for: its own bytes, or where they name nothing
// and the text shows U+FFFD for bytes that are not UTF-8, the entries shown so (ResolveShownPath).
std::string PathInBox(const QString& text);

}  // namespace fk
