// SPDX-License-Identifier: MIT

#include "tirk/editors.hpp"

#include <chrono>
#include <optional>
#include <string>

#include "link/send.hpp"
#include "text/text.hpp"
#include "tirk/tirk_commands.hpp"

namespace portavik::main_tirk {

namespace {

constexpr auto kKeyPoll = std::chrono::milliseconds(100);

void show_header(EditorKind kind, Console& console) {
    if (kind == EditorKind::Hex) {
        show_hex_menu(console);
    } else {
        show_tirk_menu(console);
    }
}

void redraw(Console& console, const std::string& line) {
    console.print("\x1b[2K\r> " + line);
}

void submit_tirk_line(Console& console, SerialPort& port, const std::string& line) {
    const auto number = parse_unsigned(line, 255);
    if (!number) {
        console.line("❌ Ошибка: введите число от 1 до 26 или 'Esc' для выхода");
    } else if (*number == 0 || *number > 26) {
        console.line("❌ Ошибка: номер команды ТИРК должен быть от 1 до 26");
    } else {
        send_tirk_command(console, port, static_cast<std::uint8_t>(*number));
    }
}

void submit(EditorKind kind, EditorContext& context, const std::string& line) {
    context.console.print("\x1b[2K\r\n");
    if (kind == EditorKind::Hex) {
        send_hex_data(context.console, context.port, line);
    } else {
        submit_tirk_line(context.console, context.port, line);
    }
}

// The next key event, or nothing when no key came within one poll.
std::optional<KeyEvent> next_key(Terminal& terminal) {
    const auto ready = terminal.poll(kKeyPoll);
    if (!ready) {
        throw FatalError(ready.error());
    }
    if (!*ready) {
        return std::nullopt;
    }
    auto event = terminal.read_event();
    if (!event) {
        throw FatalError(event.error());
    }
    return event->key;
}

}  // namespace

void show_hex_menu(Console& console) {
    console.print(
        "\n=== 📋 Меню отправки HEX данных ===\n"
        "Введите HEX данные (например: FF 00 AB) или Меню (Esc)\n"
        "> ");
}

void show_tirk_menu(Console& console) {
    console.print(
        "\n=== 📋 Меню команд ТИРК ===\n"
        "Введите номер команды ТИРК(1...26) или Меню (Esc)\n"
        "> ");
}

void run_editor(EditorKind kind, EditorContext& context) {
    Console& console = context.console;
    context.pause_receiver.pause();
    {
        RawModeGuard raw_mode(context.terminal);
        show_header(kind, console);
        EditorState state{"", context.now()};
        for (;;) {
            if (!context.running->load(std::memory_order_relaxed)) {
                raw_mode.disable();
                break;
            }
            const auto key = next_key(context.terminal);
            if (!key) {
                continue;
            }
            const EditorAction action = apply_key(kind, state, *key, context.now());
            if (action == EditorAction::Redraw) {
                redraw(console, state.current_input);
            } else if (action == EditorAction::Submit) {
                submit(kind, context, state.current_input);
                state.current_input.clear();
                console.print("\n");
                show_header(kind, console);
            } else if (action == EditorAction::Leave) {
                raw_mode.disable();
                console.print("\n");
                break;
            }
        }
    }
    context.pause_receiver.resume();
}

}  // namespace portavik::main_tirk
