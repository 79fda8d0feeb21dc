// SPDX-License-Identifier: MIT

#include "tirk/tirk_commands.hpp"

#include <array>
#include <string>

#include "codec/crc.hpp"
#include "link/send.hpp"

namespace portavik::main_tirk {

namespace {

// Bodies of commands 1..19, two bytes each: group 0x11 (2), 0x12 (9), 0x20 (8).
constexpr std::array<std::uint8_t, 38> kCommandBodies = {
    0x11, 0x00, 0x11, 0x01,                                      //
    0x12, 0x00, 0x12, 0x01, 0x12, 0x02, 0x12, 0x03, 0x12, 0x04,  //
    0x12, 0x05, 0x12, 0x06, 0x12, 0x07, 0x12, 0x08,              //
    0x20, 0x00, 0x20, 0x01, 0x20, 0x02, 0x20, 0x03, 0x20, 0x04,  //
    0x20, 0x05, 0x20, 0x06, 0x20, 0x07,
};

constexpr std::uint8_t kStartByte = 0x01;
constexpr std::uint8_t kPairClass = 0x50;
constexpr std::uint8_t kSingleClass = 0x30;

// Whole milliseconds, truncated toward zero.
std::uint64_t whole_milliseconds(std::chrono::nanoseconds elapsed) {
    if (elapsed.count() < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace

std::optional<Bytes> tirk_command_frame(std::uint8_t tirk_number) {
    // 8-bit wrap-around: 0 becomes 255, so one comparison covers 0 and 27..255.
    const auto index = static_cast<std::uint8_t>(tirk_number - 1);
    if (index > 25) {
        return std::nullopt;
    }
    if (tirk_number <= 19) {
        const std::size_t at = static_cast<std::size_t>(index) * 2;
        return Bytes{kStartByte, kPairClass, kCommandBodies[at], kCommandBodies[at + 1]};
    }
    return Bytes{kStartByte, kSingleClass, static_cast<std::uint8_t>(tirk_number - 20)};
}

void send_tirk_command(Console& console, SerialPort& port, std::uint8_t tirk_number,
                       const WriteClock& now) {
    const auto data = tirk_command_frame(tirk_number);
    if (!data) {
        console.line("❌ Ошибка: неверный номер команды ТИРК");
        return;
    }
    const std::uint16_t crc = calculate_crc16(*data);
    const Bytes final_data = with_crc_trailer(*data);
    const std::string port_name = port_display_name(port);

    const auto before_write = now();
    const auto written = port.write_all(final_data);
    if (!written) {
        console.line("❌ Ошибка при отправке данных: " + written.error().message);
        return;
    }
    const auto after_write = now();

    const std::uint64_t elapsed_ms = whole_milliseconds(after_write - before_write);
    console.line("⏱️ Порт " + port_name + ": время отправки данных " +
                 std::to_string(elapsed_ms) + " мс");
    console.line("📤 Отправлена команда ТИРК" + std::to_string(tirk_number) + ": " +
                 format_hex_output(*data) + " | CRC: " + crc_display(crc));
}

}  // namespace portavik::main_tirk
