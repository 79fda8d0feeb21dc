// SPDX-License-Identifier: MIT

#include "standard/settings_dialog.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/connect.hpp"
#include "link/send.hpp"
#include "text/text.hpp"

namespace portavik {

namespace {

template <class T>
struct Answer {
    std::string_view key;
    T value;
};

// One value dialog: what it prints, what it accepts, how it confirms.
template <class T, std::size_t Lines, std::size_t Answers>
struct ChoiceDialog {
    std::array<std::string_view, Lines> lines;
    std::string_view prompt;
    std::array<Answer<T>, Answers> answers;
    std::string_view success;
    std::string_view failure;
    T LineSettings::*field;
};

constexpr ChoiceDialog<DataBits, 5, 4> kDataBitsDialog{
    {"\nВыберите количество бит данных:", "1. 5 бит", "2. 6 бит", "3. 7 бит", "4. 8 бит"},
    "\nВыберите (1-4): ",
    {{{"1", DataBits::Five}, {"2", DataBits::Six}, {"3", DataBits::Seven}, {"4", DataBits::Eight}}},
    "✅ Биты данных установлены: ",
    "❌ Ошибка установки бит данных: ",
    &LineSettings::data_bits,
};

constexpr ChoiceDialog<StopBits, 3, 2> kStopBitsDialog{
    {"\nВыберите количество стоп-бит:", "1. 1 стоп-бит", "2. 2 стоп-бита"},
    "\nВыберите (1-2): ",
    {{{"1", StopBits::One}, {"2", StopBits::Two}}},
    "✅ Стоп-биты установлены: ",
    "❌ Ошибка установки стоп-бит: ",
    &LineSettings::stop_bits,
};

// The answers follow the printed labels, not the order of the values.
constexpr ChoiceDialog<Parity, 4, 3> kParityDialog{
    {"\nВыберите четность:", "1. Нет", "2. Четная", "3. Нечетная"},
    "\nВыберите (1-3): ",
    {{{"1", Parity::None}, {"2", Parity::Even}, {"3", Parity::Odd}}},
    "✅ Четность установлена: ",
    "❌ Ошибка установки четности: ",
    &LineSettings::parity,
};

constexpr ChoiceDialog<FlowControl, 4, 3> kFlowControlDialog{
    {"\nВыберите управление потоком:", "1. Нет", "2. Аппаратное", "3. Программное"},
    "\nВыберите (1-3): ",
    {{{"1", FlowControl::None}, {"2", FlowControl::Hardware}, {"3", FlowControl::Software}}},
    "✅ Управление потоком установлено: ",
    "❌ Ошибка установки управления потоком: ",
    &LineSettings::flow_control,
};

// Prints the dialog and reads the answer: the chosen value, or nothing after
// a failed read (silently) or an answer that is not offered (with a line).
template <class T, std::size_t L, std::size_t A>
std::optional<T> ask_choice(Console& console, const ChoiceDialog<T, L, A>& dialog) {
    for (std::string_view text : dialog.lines) {
        console.line(text);
    }
    console.print(dialog.prompt);
    const LineResult input = console.read_line();
    if (!input) {
        return std::nullopt;
    }
    const std::string_view answer = trim(*input);
    for (const Answer<T>& option : dialog.answers) {
        if (option.key == answer) {
            return option.value;
        }
    }
    console.line("❌ Ошибка: неверный выбор");
    return std::nullopt;
}

std::optional<std::uint32_t> ask_baud_rate(Console& console) {
    console.print("Введите скорость передачи (бод): ");
    const LineResult input = console.read_line();
    if (!input) {
        return std::nullopt;
    }
    const auto baud = parse_unsigned(trim(*input), std::numeric_limits<std::uint32_t>::max());
    if (!baud) {
        console.line("❌ Ошибка: введите корректное число");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*baud);
}

// Before opening, a value only goes into the line to open with.
template <class T>
SerialResult<void> put(LineSettings& line, T LineSettings::*field, T value) {
    line.*field = value;
    return {};
}

// On the open port, a value is in force at once, or the device refuses it.
template <class T>
SerialResult<void> put(SerialPort& port, T LineSettings::*field, T value) {
    return port.change(field, value);
}

// Puts one value and confirms it, or shows why the device refused it.
template <class Target, class T>
void set_value(Console& console, Target& target, T LineSettings::*field, T value,
               const std::string& confirmation, std::string_view failure) {
    if (auto applied = put(target, field, value); applied) {
        console.line(confirmation);
    } else {
        console.line(std::string(failure) + applied.error().description);
    }
}

template <class Target, class T, std::size_t L, std::size_t A>
void ask_and_set(Console& console, Target& target, const ChoiceDialog<T, L, A>& dialog) {
    if (const auto value = ask_choice(console, dialog)) {
        set_value(console, target, dialog.field, *value,
                  std::string(dialog.success) + value_name(*value), dialog.failure);
    }
}

void print_settings_menu(Console& console, std::string_view last_item) {
    console.line("\n=== 📋 Настройки порта ===");
    console.line("1. Скорость передачи (бод)");
    console.line("2. Биты данных");
    console.line("3. Стоп-биты");
    console.line("4. Четность");
    console.line("5. Управление потоком");
    console.line(last_item);
    console.print("\nВыберите настройку (1-6): ");
}

// The settings menu, for the settings to open with or for the open port,
// until "6" or the end of input. A failed read shows the menu again
// silently; anything unknown is warned about.
template <class Target>
void run_settings_menu(Console& console, Target& target, std::string_view last_item) {
    for (;;) {
        print_settings_menu(console, last_item);
        const LineResult input = console.read_line();
        if (!input) {
            if (input.error() == ReadError::Ended) {
                return;
            }
            continue;
        }
        const std::string_view answer = trim(*input);
        if (answer == "1") {
            if (const auto baud = ask_baud_rate(console)) {
                set_value(console, target, &LineSettings::baud_rate, *baud,
                          "✅ Скорость установлена: " + std::to_string(*baud) + " бод",
                          "❌ Ошибка установки скорости: ");
            }
        } else if (answer == "2") {
            ask_and_set(console, target, kDataBitsDialog);
        } else if (answer == "3") {
            ask_and_set(console, target, kStopBitsDialog);
        } else if (answer == "4") {
            ask_and_set(console, target, kParityDialog);
        } else if (answer == "5") {
            ask_and_set(console, target, kFlowControlDialog);
        } else if (answer == "6") {
            return;
        } else {
            console.line(
                "⚠️ Неверный выбор. Пожалуйста, выберите 1-6");
        }
    }
}

void print_summary(Console& console, const SerialPort& port) {
    const std::string name = port_display_name(port);
    const LineSettings settings = query_line_settings(port, 9600);
    console.line("\n✅ Текущие настройки порта: " + name + " @ " + describe_line_settings(settings));
}

}  // namespace

PortSettings configure_settings_before_open(Console& console, PortSettings settings) {
    LineSettings line = settings.line();
    run_settings_menu(console, line, "6. Применить настройки и открыть порт");
    return settings.line(line);
}

void configure_port_settings(Console& console, SerialPort& port) {
    run_settings_menu(console, port, "6. Вернуться в главное меню");
    print_summary(console, port);
}

}  // namespace portavik
