// SPDX-License-Identifier: MIT

#include "tirk/tirk_mode.hpp"

#include <chrono>
#include <memory>
#include <string>

#include "link/connect.hpp"
#include "link/port_choice.hpp"
#include "link/receive.hpp"
#include "link/send.hpp"
#include "text/text.hpp"
#include "tirk/editors.hpp"

namespace portavik::main_tirk {

namespace {

constexpr std::uint32_t kTirkBaud = 9600;

void install_ctrl_c_handler(Platform& platform, const Flag& running) {
    Console& console = platform.console;
    auto exit_process = platform.exit_process;
    const bool installed = platform.set_ctrl_c_handler([&console, running, exit_process] {
        running->store(false, std::memory_order_relaxed);
        // When the program is already ending another way, that way ends it.
        if (console.claim_end("\n👋 Программа завершена пользователем (Ctrl+C)\n")) {
            exit_process(0);
        }
    });
    if (!installed) {
        throw FatalError("Ошибка установки обработчика Ctrl+C");
    }
}

// Every line asks the device afresh and shows the raw result.
void print_current_settings(Console& console, const SerialPort& port) {
    console.line("\n=== ТЕКУЩИЕ НАСТРОЙКИ ПОРТА ===");
    console.line("Таймаут чтения/записи: " + debug_form(port.timeout()));
    console.line("Скорость: " + debug_form(port.baud_rate()) + " бод");
    console.line("Биты данных: " + debug_form(port.data_bits()));
    console.line("Стоп-биты: " + debug_form(port.stop_bits()));
    console.line("Четность: " + debug_form(port.parity()));
    console.line("Управление потоком: " + debug_form(port.flow_control()));
    console.print("================================\n\n");
}

void run_command_loop(Platform& platform, std::unique_ptr<SerialPort> port, const Flag& running) {
    Console& console = platform.console;
    ReceiverThread receiver_thread(console, *port, running, kTirkReceive);
    EditorContext editor{console, platform.terminal, *port, running, receiver_thread};

    while (running->load(std::memory_order_relaxed)) {
        show_menu(console);
        const LineResult input = console.read_line();
        if (!input && input.error() == ReadError::Failed) {
            continue;
        }
        // End of input leaves as item 4.
        const std::string_view choice = input ? trim(*input) : std::string_view("4");
        if (choice == "1") {
            run_editor(EditorKind::Hex, editor);
        } else if (choice == "2") {
            run_editor(EditorKind::Tirk, editor);
        } else if (choice == "3") {
            clear_screen(console);
        } else if (choice == "4") {
            console.print("\n👋 До свидания!\n");
            running->store(false, std::memory_order_relaxed);
        } else {
            console.line(
                "⚠️ Неверный выбор. Пожалуйста, выберите 1-4");
        }
    }
    receiver_thread.join_and_report(console);
}

}  // namespace

void main(Platform& platform) {
    Flag running = make_flag(true);
    install_ctrl_c_handler(platform, running);
    auto port = choose_and_open_port(
        platform,
        [](const std::string& port_name) { return get_default_settings(port_name, kTirkBaud); },
        kTirkBaud);
    if (!port) {
        return;
    }
    print_current_settings(platform.console, *port);
    run_command_loop(platform, std::move(port), running);
}

void show_menu(Console& console) {
    console.print(
        "\n=== 📋 Меню команд ===\n"
        "1. Отправить HEX данные\n"
        "2. Отправить команды ТИРК1...26\n"
        "3. Очистить экран\n"
        "4. Выход\n"
        "\nВыберите действие (1-4): ");
}

}  // namespace portavik::main_tirk
