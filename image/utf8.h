#pragma once
// UTF-8 one character at a time, for names that may hold bytes that are not UTF-8: a reader
// keeps such bytes as they are instead of guessing what they meant.

#include <cstddef>
#include <string>
#include <string_view>

namespace fk {

// Length of the well-formed UTF-8 sequence at the start of bytes (not empty), its character in
// codePoint; 0 when it is not well-formed (overlong forms, surrogates, past U+10FFFF, cut short).
std::size_t Utf8SequenceLength(std::string_view bytes, char32_t& codePoint);

void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace fk
