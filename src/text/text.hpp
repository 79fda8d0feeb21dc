// SPDX-License-Identifier: MIT

#pragma once

// What the dialogs do with the user's answers: trim them, compare them in
// lower case, read numbers from them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace portavik {

// Surrounding whitespace removed (ASCII and the Unicode white-space characters).
std::string_view trim(std::string_view text);
std::string to_lower_ascii(std::string_view text);

// A decimal number of at most `max`: digits only, at most one leading plus.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

}  // namespace portavik
