// SPDX-License-Identifier: MIT

// validate_hex_string on any text, and format_hex_output on any bytes.
// Accepted exactly when, spaces aside, the text is an even number of ASCII
// hex digits; then it re-formats to the same bytes. Rejected with the one
// error text otherwise.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "codec/hex.hpp"
#include "reference.hpp"

using portavik::fuzz::check;

namespace {

bool is_ascii_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char upper(char c) {
    return c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::string digits;
    bool only_digits_and_spaces = true;
    for (const char c : text) {
        if (c == ' ') {
            continue;
        }
        only_digits_and_spaces = only_digits_and_spaces && is_ascii_hex_digit(c);
        digits += upper(c);
    }
    const bool valid = only_digits_and_spaces && digits.size() % 2 == 0;

    const auto decoded = portavik::validate_hex_string(text);
    check(decoded.has_value() == valid,
          "accepted exactly when only hex digits and spaces, an even number of digits");
    if (!decoded) {
        check(decoded.error() == portavik::kHexError, "one error text for every defect");
    } else {
        check(decoded->size() * 2 == digits.size(), "one byte per digit pair");
        std::string pairs;
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            pairs += i == 0 ? "" : " ";
            pairs += digits.substr(i, 2);
        }
        check(portavik::format_hex_output(*decoded) == pairs,
              "accepted input re-formats to its digit pairs");
        check(portavik::validate_hex_string(pairs) == *decoded,
              "re-formatted text decodes to the same bytes");
    }

    // Any bytes: formatted, then read back.
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string formatted = portavik::format_hex_output(bytes);
    check(formatted == portavik::fuzz::hex_text(bytes), "two upper-case digits a byte");
    const auto round_trip = portavik::validate_hex_string(formatted);
    check(round_trip &&
              std::equal(round_trip->begin(), round_trip->end(), bytes.begin(), bytes.end()),
          "formatted bytes decode to themselves");
    return 0;
}
