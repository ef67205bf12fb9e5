#include <locale.h>

#include <clocale>
#include <cwctype>

#include "platform/text_case.h"

namespace fk::platform {

char32_t LowerCodePoint(char32_t codePoint) {
    // The C library's UTF-8 locale, whatever the user's own: its case table covers Unicode.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8 == nullptr) {
        return codePoint >= U'A' && codePoint <= U'Z' ? codePoint + (U'a' - U'A') : codePoint;
    }
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(codePoint), utf8));
}

}  // namespace fk::platform
