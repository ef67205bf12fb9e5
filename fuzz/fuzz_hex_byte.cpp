// ParseHexByte against a reference written the slow, obvious way: the text is accepted exactly
// when it is non-empty, all hexadecimal digits, and its value fits one octet; then the value is
// that number, and on a refusal the output is left as it was.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "fuzz_require.h"
#include "net/mac.h"

namespace {

std::optional<unsigned> DigitValue(char c) {
    constexpr std::string_view kLower = "0123456789abcdef";
    constexpr std::string_view kUpper = "0123456789ABCDEF";
    if (const auto at = kLower.find(c); at != std::string_view::npos) return unsigned(at);
    if (const auto at = kUpper.find(c); at != std::string_view::npos) return unsigned(at);
    return std::nullopt;
}

std::optional<std::uint32_t> Reference(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (!DigitValue(c)) return std::nullopt;
    }
    // Leading zeros do not count; more than two digits after them is more than an octet.
    const auto first = text.find_first_not_of('0');
    if (first == std::string_view::npos) return 0;
    const std::string_view digits = text.substr(first);
    if (digits.size() > 2) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) value = value * 16 + *DigitValue(c);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    constexpr std::uint32_t kUntouched = 0xDEADBEEF;
    std::uint32_t value = kUntouched;
    const bool accepted = fk::ParseHexByte(text, value);
    const auto expected = Reference(text);
    FUZZ_REQUIRE(accepted == expected.has_value());
    FUZZ_REQUIRE(accepted ? value == *expected : value == kUntouched);
    return 0;
}
