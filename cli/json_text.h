#pragma once

// Text for flashkit-cli's terminal, JSON and CSV. File and card names are bytes, not always UTF-8,
// while JSON text must be: such a value is written readable, with its exact bytes beside it in hex.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace fk::cli {

bool IsUtf8(std::string_view text);

// The text with every byte that starts no valid UTF-8 character shown as U+FFFD.
std::string Utf8Text(std::string_view text);

// The text as a terminal may show it: control characters (C0, DEL, C1) and bytes that start no
// valid UTF-8 character become visible escapes, "\x1b", so that a name can neither move the
// cursor nor start a line of its own. Printable UTF-8 and backslashes (Windows paths) stay.
std::string TerminalText(std::string_view text);

// Two lower-case hexadecimal digits per byte.
std::string HexBytes(std::string_view bytes);

// The suffix of the field that holds a text's bytes: "image" gets "image_hex".
inline constexpr const char* kBytesSuffix = "_hex";

// Every string member of the object that is not UTF-8 becomes its Utf8Text, and its bytes go
// into a member of the same name with kBytesSuffix. Safe to dump afterwards.
template <class JsonObject>
void MarkBytes(JsonObject& object) {
    JsonObject bytes = JsonObject::object();
    for (auto& [key, value] : object.items()) {
        if (!value.is_string()) continue;
        const auto& text = value.template get_ref<const std::string&>();
        if (IsUtf8(text)) continue;
        bytes[key + kBytesSuffix] = HexBytes(text);
        value = Utf8Text(text);
    }
    for (auto& [key, value] : bytes.items()) object[key] = value;
}

}  // namespace fk::cli
