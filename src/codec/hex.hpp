// SPDX-License-Identifier: MIT

#pragma once

// HEX text in and out.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace portavik {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::string_view kHexError = "неверный формат HEX данных";

// Spaces (U+0020 only) are ignored wherever they stand; everything else must
// be ASCII hex digits, an even number of them. One error text for every defect.
std::expected<Bytes, std::string_view> validate_hex_string(std::string_view text);

// "FF 00 AB": two upper-case digits a byte, one space between bytes.
std::string format_hex_output(std::span<const std::uint8_t> bytes);
// The same text appended to `out`, so a caller can reuse one buffer.
void append_hex_output(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace portavik
