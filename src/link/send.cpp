// SPDX-License-Identifier: MIT

#include "link/send.hpp"

#include <span>

#include "codec/crc.hpp"
#include "codec/hex.hpp"

namespace portavik {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string port_display_name(const SerialPort& port) {
    return port.name().value_or("Неизвестный порт");
}

void send_text_message(Console& console, SerialPort& port, std::string_view message) {
    const std::string name = port_display_name(port);
    if (auto written = port.write_all(as_bytes(message)); !written) {
        console.line("❌ Ошибка: " + written.error().message);
        return;
    }
    console.line("📤 Отправлено в порт " + name + " (текст): " + std::string(message));
}

void send_hex_data(Console& console, SerialPort& port, std::string_view hex_text) {
    const auto data = validate_hex_string(hex_text);
    if (!data) {
        console.line("❌ Ошибка: " + std::string(data.error()));
        return;
    }
    const std::string name = port_display_name(port);
    if (auto written = port.write_all(*data); !written) {
        console.line("❌ Ошибка при отправке данных: " + written.error().message);
        return;
    }
    console.line("📤 Отправлено в порт " + name + " (HEX): " + format_hex_output(*data));
}

void send_hex_data_with_crc(Console& console, SerialPort& port, std::string_view hex_text) {
    const auto data = validate_hex_string(hex_text);
    if (!data) {
        console.line("❌ Ошибка: " + std::string(data.error()));
        return;
    }
    const std::string name = port_display_name(port);
    const Bytes frame = with_crc_trailer(*data);
    if (auto written = port.write_all(frame); !written) {
        console.line("❌ Ошибка: " + written.error().message);
        return;
    }
    console.line("📤 Отправлено в порт " + name + " (HEX+CRC): " + format_hex_output(*data) +
                 " | CRC: " + crc_display(calculate_crc16(*data)));
}

void clear_screen(Console& console) {
    console.clear_screen();
}

}  // namespace portavik
