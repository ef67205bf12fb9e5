#include <windows.h>

#include "platform/text_case.h"

namespace fk::platform {

char32_t LowerCodePoint(char32_t codePoint) {
    // UTF-16, a surrogate pair beyond the first plane, mapped by the system's invariant table.
    wchar_t units[2];
    int length = 1;
    if (codePoint >= 0x10000 && codePoint <= 0x10FFFF) {
        const char32_t offset = codePoint - 0x10000;
        units[0] = static_cast<wchar_t>(0xD800 + (offset >> 10));
        units[1] = static_cast<wchar_t>(0xDC00 + (offset & 0x3FF));
        length = 2;
    } else if (codePoint < 0xD800 || (codePoint > 0xDFFF && codePoint < 0x10000)) {
        units[0] = static_cast<wchar_t>(codePoint);
    } else {
        return codePoint;
    }
    wchar_t lower[2];
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, units, length, lower, 2, nullptr,
                      nullptr, 0) != length) {
        return codePoint;
    }
    if (length == 1) return lower[0];
    return 0x10000 + ((static_cast<char32_t>(lower[0]) - 0xD800) << 10) +
           (static_cast<char32_t>(lower[1]) - 0xDC00);
}

}  // namespace fk::platform
