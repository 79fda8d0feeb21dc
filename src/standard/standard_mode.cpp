// SPDX-License-Identifier: MIT

#include "standard/standard_mode.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "link/connect.hpp"
#include "link/port_choice.hpp"
#include "link/receive.hpp"
#include "link/send.hpp"
#include "standard/settings_dialog.hpp"
#include "text/text.hpp"

namespace portavik {

namespace {

constexpr std::uint32_t kStandardBaud = 38400;

void print_standard_defaults(Console& console) {
    console.line("\n⚙️ Настройки порта по умолчанию:");
    console.line("   • Скорость: 38400 бод");
    console.line("   • Биты данных: 8");
    console.line("   • Стоп-биты: 1");
    console.line("   • Четность: Нет");
    console.line("   • Управление потоком: Нет");
}

bool wants_to_change_settings(Console& console) {
    console.print("\nХотите изменить настройки? (y/n): ");
    const LineResult input = console.read_line();
    return input && to_lower_ascii(trim(*input)) == "y";
}

// The defaults block, and the pre-open dialog if the user asks for it.
PortSettings prepare_standard_settings(Console& console, const std::string& port_name) {
    PortSettings settings = get_default_settings(port_name, kStandardBaud);
    print_standard_defaults(console);
    if (wants_to_change_settings(console)) {
        settings = configure_settings_before_open(console, std::move(settings));
    }
    return settings;
}

struct SendSubmenu {
    std::string_view heading;
    std::string_view hint;
    void (*send)(Console&, SerialPort&, std::string_view);
};

constexpr SendSubmenu kTextSubmenu{
    "\n=== 📋 Меню отправки текстовых сообщений ===",
    "Введите текст для отправки или 'q' для возврата в меню",
    &send_text_message,
};
constexpr SendSubmenu kHexSubmenu{
    "\n=== 📋 Меню отправки HEX данных ===",
    "Введите HEX данные (например: FF 00 AB) или 'q' для возврата в меню",
    &send_hex_data,
};
constexpr SendSubmenu kHexCrcSubmenu{
    "\n=== 📋 Меню отправки HEX данных с CRC16 ===",
    "Введите HEX данные для отправки с CRC16 или 'q' для возврата в меню",
    &send_hex_data_with_crc,
};

// The receiver prints nothing while the user types: what the device sends
// meanwhile is read and kept, and printed after "q", before the menu comes
// again. End of input leaves as "q".
void run_send_submenu(Console& console, SerialPort& port, ReceiverThread& pause_receiver,
                      const SendSubmenu& submenu) {
    pause_receiver.pause();
    console.line(submenu.heading);
    console.line(submenu.hint);
    for (;;) {
        console.print("> ");
        const LineResult input = console.read_line();
        if (!input) {
            if (input.error() == ReadError::Ended) {
                break;
            }
            console.line("❌ Ошибка чтения ввода");
            continue;
        }
        const std::string_view text = trim(*input);
        if (to_lower_ascii(text) == "q") {
            break;
        }
        if (!text.empty()) {
            submenu.send(console, port, text);
        }
    }
    pause_receiver.resume();
}

void run_command_loop(Console& console, std::unique_ptr<SerialPort> port) {
    Flag running = make_flag(true);
    ReceiverThread receiver_thread(console, *port, running, kStandardReceive);
    for (;;) {
        show_menu(console);
        const LineResult input = console.read_line();
        if (!input && input.error() == ReadError::Failed) {
            console.line("❌ Ошибка чтения ввода");
            continue;
        }
        const std::string choice = input ? std::string(trim(*input)) : "6";
        if (input) {
            console.line("📝 Введено: " + choice);
        }
        if (choice == "1") {
            run_send_submenu(console, *port, receiver_thread, kTextSubmenu);
        } else if (choice == "2") {
            run_send_submenu(console, *port, receiver_thread, kHexSubmenu);
        } else if (choice == "3") {
            run_send_submenu(console, *port, receiver_thread, kHexCrcSubmenu);
        } else if (choice == "4") {
            console.line("🔄 Переход в меню настроек порта...");
            configure_port_settings(console, *port);
        } else if (choice == "5") {
            clear_screen(console);
        } else if (choice == "6") {
            break;
        } else {
            console.line(
                "⚠️ Неверный выбор. Пожалуйста, выберите 1-6");
        }
    }
    console.line("\n👋 До свидания!");
    running->store(false, std::memory_order_relaxed);
    receiver_thread.join_and_report(console);
}

}  // namespace

void run_original_version(Platform& platform) {
    Console& console = platform.console;
    auto port = choose_and_open_port(
        platform,
        [&console](const std::string& port_name) {
            return prepare_standard_settings(console, port_name);
        },
        kStandardBaud);
    if (port) {
        run_command_loop(console, std::move(port));
    }
}

void show_menu(Console& console) {
    // One write: a line from the receiver can come before or after the menu,
    // never inside it.
    console.print(
        "\n=== 📋 Меню команд ===\n"
        "1. Отправить текстовое сообщение\n"
        "2. Отправить HEX данные\n"
        "3. Отправить HEX данные с CRC16\n"
        "4. Настройки порта\n"
        "5. Очистить экран\n"
        "6. Выход\n"
        "\nВыберите действие (1-6): ");
}

}  // namespace portavik
