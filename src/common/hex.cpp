#include "common/hex.hpp"

#include <array>

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

constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        auto value = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1U) != 0 ? static_cast<std::uint16_t>((value >> 1) ^ 0xA001U)
                                      : static_cast<std::uint16_t>(value >> 1);
        }
        table[i] = value;
    }
    return table;
}

constexpr auto kCrcTable = make_crc_table();
constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_hex_byte(std::string& out, std::uint8_t byte) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

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

std::uint16_t calculate_crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFFU]);
    }
    return crc;
}

Bytes with_crc_trailer(std::span<const std::uint8_t> bytes) {
    const std::uint16_t crc = calculate_crc16(bytes);
    Bytes frame(bytes.begin(), bytes.end());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

std::string crc_display(std::uint16_t crc) {
    std::string out;
    append_hex_byte(out, static_cast<std::uint8_t>(crc & 0xFFU));
    out += ' ';
    append_hex_byte(out, static_cast<std::uint8_t>(crc >> 8));
    return out;
}

}  // namespace portavik
