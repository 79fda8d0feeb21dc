// SPDX-License-Identifier: MIT

#include "codec/hex.hpp"

namespace portavik {

namespace {

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

std::expected<Bytes, std::string_view> validate_hex_string(std::string_view text) {
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    int high = -1;
    for (char c : text) {
        if (c == ' ') {
            continue;
        }
        const int value = hex_digit_value(c);
        if (value < 0) {
            return std::unexpected(kHexError);
        }
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::unexpected(kHexError);
    }
    return bytes;
}

std::string format_hex_output(std::span<const std::uint8_t> bytes) {
    std::string out;
    append_hex_output(out, bytes);
    return out;
}

void append_hex_output(std::string& out, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    // Sized once and filled through a pointer: a received chunk of 1 KiB is
    // 3 KiB of text, and appending it character by character costs several
    // times more.
    const std::size_t start = out.size();
    out.resize(start + bytes.size() * 3 - 1, ' ');
    char* at = out.data() + start;
    for (const std::uint8_t byte : bytes) {
        at[0] = kHexDigits[byte >> 4];
        at[1] = kHexDigits[byte & 0x0F];
        at += 3;
    }
}

}  // namespace portavik
