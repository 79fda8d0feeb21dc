#include "main/settings_dialog.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/connect.hpp"
#include "common/port_choice.hpp"
#include "common/send.hpp"

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
    SerialResult<void> (SerialPort::*apply)(T);
    PortSettings (PortSettings::*store)(T) const;
};

constexpr ChoiceDialog<DataBits, 5, 4> kDataBitsDialog{
    {"\nВыберите количество бит данных:", "1. 5 бит", "2. 6 бит", "3. 7 бит", "4. 8 бит"},
    "\nВыберите (1-4): ",
    {{{"1", DataBits::Five}, {"2", DataBits::Six}, {"3", DataBits::Seven}, {"4", DataBits::Eight}}},
    "✅ Биты данных установлены: ",
    "❌ Ошибка установки бит данных: ",
    &SerialPort::set_data_bits,
    &PortSettings::data_bits,
};

constexpr ChoiceDialog<StopBits, 3, 2> kStopBitsDialog{
    {"\nВыберите количество стоп-бит:", "1. 1 стоп-бит", "2. 2 стоп-бита"},
    "\nВыберите (1-2): ",
    {{{"1", StopBits::One}, {"2", StopBits::Two}}},
    "✅ Стоп-биты установлены: ",
    "❌ Ошибка установки стоп-бит: ",
    &SerialPort::set_stop_bits,
    &PortSettings::stop_bits,
};

// The answers follow the printed labels, not the order of the values.
constexpr ChoiceDialog<Parity, 4, 3> kParityDialog{
    {"\nВыберите четность:", "1. Нет", "2. Четная", "3. Нечетная"},
    "\nВыберите (1-3): ",
    {{{"1", Parity::None}, {"2", Parity::Even}, {"3", Parity::Odd}}},
    "✅ Четность установлена: ",
    "❌ Ошибка установки четности: ",
    &SerialPort::set_parity,
    &PortSettings::parity,
};

constexpr ChoiceDialog<FlowControl, 4, 3> kFlowControlDialog{
    {"\nВыберите управление потоком:", "1. Нет", "2. Аппаратное", "3. Программное"},
    "\nВыберите (1-3): ",
    {{{"1", FlowControl::None}, {"2", FlowControl::Hardware}, {"3", FlowControl::Software}}},
    "✅ Управление потоком установлено: ",
    "❌ Ошибка установки управления потоком: ",
    &SerialPort::set_flow_control,
    &PortSettings::flow_control,
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

std::string baud_confirmation(std::uint32_t baud) {
    return "✅ Скорость установлена: " + std::to_string(baud) + " бод";
}

template <class T, std::size_t L, std::size_t A>
void store_choice(Console& console, PortSettings& settings, const ChoiceDialog<T, L, A>& dialog) {
    if (const auto value = ask_choice(console, dialog)) {
        settings = (settings.*dialog.store)(*value);
        console.line(std::string(dialog.success) + value_name(*value));
    }
}

template <class T, std::size_t L, std::size_t A>
void apply_choice(Console& console, SerialPort& port, const ChoiceDialog<T, L, A>& dialog) {
    if (const auto value = ask_choice(console, dialog)) {
        if (auto applied = (port.*dialog.apply)(*value); applied) {
            console.line(std::string(dialog.success) + value_name(*value));
        } else {
            console.line(std::string(dialog.failure) + applied.error().description);
        }
    }
}

enum class MenuAnswer { Item1, Item2, Item3, Item4, Item5, Leave, Repeat };

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

// Reads the settings menu answer. End of input leaves as "6"; a failed read
// shows the menu again silently; anything unknown is warned about.
MenuAnswer read_menu_answer(Console& console) {
    const LineResult input = console.read_line();
    if (!input) {
        return input.error() == ReadError::Ended ? MenuAnswer::Leave : MenuAnswer::Repeat;
    }
    const std::string_view answer = trim(*input);
    if (answer.size() == 1 && answer[0] >= '1' && answer[0] <= '6') {
        return static_cast<MenuAnswer>(answer[0] - '1');
    }
    console.line("⚠️ Неверный выбор. Пожалуйста, выберите 1-6");
    return MenuAnswer::Repeat;
}

void print_summary(Console& console, const SerialPort& port) {
    const std::string name = port_display_name(port);
    const LineSettings settings = query_line_settings(port, 9600);
    console.line("\n✅ Текущие настройки порта: " + name + " @ " + describe_line_settings(settings));
}

}  // namespace

PortSettings configure_settings_before_open(Console& console, PortSettings settings) {
    for (;;) {
        print_settings_menu(console, "6. Применить настройки и открыть порт");
        switch (read_menu_answer(console)) {
            case MenuAnswer::Item1:
                if (const auto baud = ask_baud_rate(console)) {
                    settings = settings.baud_rate(*baud);
                    console.line(baud_confirmation(*baud));
                }
                break;
            case MenuAnswer::Item2:
                store_choice(console, settings, kDataBitsDialog);
                break;
            case MenuAnswer::Item3:
                store_choice(console, settings, kStopBitsDialog);
                break;
            case MenuAnswer::Item4:
                store_choice(console, settings, kParityDialog);
                break;
            case MenuAnswer::Item5:
                store_choice(console, settings, kFlowControlDialog);
                break;
            case MenuAnswer::Leave:
                return settings;
            case MenuAnswer::Repeat:
                break;
        }
    }
}

void show_port_settings_menu(Console& console) {
    print_settings_menu(console, "6. Вернуться в главное меню");
}

void configure_port_settings(Console& console, SerialPort& port) {
    for (;;) {
        show_port_settings_menu(console);
        switch (read_menu_answer(console)) {
            case MenuAnswer::Item1:
                if (const auto baud = ask_baud_rate(console)) {
                    if (auto applied = port.set_baud_rate(*baud); applied) {
                        console.line(baud_confirmation(*baud));
                    } else {
                        console.line("❌ Ошибка установки скорости: " + applied.error().description);
                    }
                }
                break;
            case MenuAnswer::Item2:
                apply_choice(console, port, kDataBitsDialog);
                break;
            case MenuAnswer::Item3:
                apply_choice(console, port, kStopBitsDialog);
                break;
            case MenuAnswer::Item4:
                apply_choice(console, port, kParityDialog);
                break;
            case MenuAnswer::Item5:
                apply_choice(console, port, kFlowControlDialog);
                break;
            case MenuAnswer::Leave:
                print_summary(console, port);
                return;
            case MenuAnswer::Repeat:
                break;
        }
    }
}

}  // namespace portavik
