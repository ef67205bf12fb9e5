#pragma once
// Letter case as the system's own text functions know it: image names are compared after
// lower-casing, letters beyond A to Z included.

namespace fk::platform {

// The lower-case form of one Unicode character (itself when it has none).
char32_t LowerCodePoint(char32_t codePoint);

}  // namespace fk::platform
