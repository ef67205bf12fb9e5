#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace fk {

// printf-style formatting of the system's own texts, which are given as printf formats, into a
// string of whatever length the result needs.
inline std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(args);
    return text;
}

}  // namespace fk
