// SPDX-License-Identifier: MIT

#include "codec/crc.hpp"

#include <array>

namespace portavik {

namespace {

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

}  // namespace

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
    const std::uint8_t wire[] = {static_cast<std::uint8_t>(crc & 0xFFU),
                                 static_cast<std::uint8_t>(crc >> 8)};
    return format_hex_output(wire);
}

}  // namespace portavik
