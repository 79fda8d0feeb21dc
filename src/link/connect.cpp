// SPDX-License-Identifier: MIT

#include "link/connect.hpp"

#include <chrono>

#include "link/port_choice.hpp"
#include "text/text.hpp"

namespace portavik {

namespace {

// How long a read waits for the device: how soon the receiver notices that
// it is to stop, and how often an idle port wakes it.
constexpr std::chrono::milliseconds kReadTimeout{50};

}  // namespace

LineSettings query_line_settings(const SerialPort& port, std::uint32_t fallback_baud) {
    return port.line_settings().value_or(LineSettings{.baud_rate = fallback_baud});
}

std::string describe_line_settings(const LineSettings& settings) {
    std::string text = std::to_string(settings.baud_rate);
    text += " бод, ";
    text += display_word(settings.data_bits);
    text += " бит данных, ";
    text += display_word(settings.stop_bits);
    text += " стоп-бит, ";
    text += display_word(settings.parity);
    text += " четность, ";
    text += display_word(settings.flow_control);
    text += " поток";
    return text;
}

void print_connected_banner(Console& console, std::string_view port_name,
                            const LineSettings& settings) {
    console.line("\n✅ Соединение установлено: Порт 📌: " + std::string(port_name) + " @ " +
                 describe_line_settings(settings));
}

bool handle_port_error(Console& console, std::string_view port_name, const SerialError& error) {
    console.line("\n❌ Ошибка открытия порта " + std::string(port_name) + ": " + error.description);
    console.line("💡 Возможные причины:");
    console.line("   - Порт используется другой программой");
    console.line("   - Недостаточно прав доступа");
    console.line("   - Устройство было отключено");
    for (;;) {
        console.print("\nПопробовать выбрать другой порт? (y/n): ");
        const LineResult input = console.read_line();
        if (!input && input.error() == ReadError::Failed) {
            continue;
        }
        const std::string answer = input ? to_lower_ascii(trim(*input)) : "n";
        if (answer == "y") {
            return true;
        }
        if (answer == "n") {
            console.line("\n👋 До свидания!");
            return false;
        }
        console.line("Пожалуйста, введите 'y' или 'n'");
    }
}

std::unique_ptr<SerialPort> choose_and_open_port(
    Platform& platform, const std::function<PortSettings(const std::string&)>& prepare,
    std::uint32_t fallback_baud) {
    Console& console = platform.console;
    for (;;) {
        const auto port_name = select_port(console, platform.list_ports);
        if (!port_name) {
            console.line("❌ Выход: последовательный порт не выбран!");
            return nullptr;
        }
        auto opened = platform.open_port(prepare(*port_name).timeout(kReadTimeout));
        if (opened) {
            print_connected_banner(console, *port_name,
                                   query_line_settings(**opened, fallback_baud));
            console.line("\n🔄 Эмулятор готов к работе.");
            return std::move(*opened);
        }
        if (!handle_port_error(console, *port_name, opened.error())) {
            return nullptr;
        }
    }
}

}  // namespace portavik
