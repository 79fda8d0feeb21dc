// SPDX-License-Identifier: MIT
#include "app/arguments.hpp"

#include "console/console.hpp"

namespace portavik {

namespace {

// The status for a command line the program does not take, as the shells'
// own utilities use it.
constexpr int kUsageError = 2;

std::string usage_text(std::string_view version) {
    return "portavik " + std::string(version) +
           " — работа с устройством через последовательный (COM) порт.\n"
           R"(
Использование: portavik [--help | --version]

Без аргументов Portavik спрашивает режим (стандартный или с командами ТИРК),
показывает последовательные порты системы, открывает выбранный, выводит всё,
что присылает устройство, и отправляет данные из меню: текст, HEX, HEX с
CRC-16/MODBUS или одну из 26 команд ТИРК. Порт и его настройки выбираются в
диалоге; других аргументов у программы нет.

  -h, --help   эта справка
  --version    версия

Подробнее — в README рядом с программой (README.txt в архиве для Windows,
/usr/share/doc/portavik/README.md в пакете Debian).
)";
}

}  // namespace

std::optional<CommandLineAnswer> answer_command_line(std::span<const std::string> args,
                                                     std::string_view version) {
    if (args.empty()) {
        return std::nullopt;
    }
    bool help = false;
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg != "--version") {
            return CommandLineAnswer{
                kUsageError, "",
                "portavik: неизвестный аргумент «" + arg + "» (справка: portavik --help)\n"};
        }
    }
    if (help) {
        return CommandLineAnswer{0, usage_text(version), ""};
    }
    return CommandLineAnswer{0, "portavik " + std::string(version) + "\n", ""};
}

int print_answer(const CommandLineAnswer& answer, ByteSink& out, ByteSink& err,
                 const std::function<void()>& put_back) {
    const bool written = (answer.out.empty() || out.write(answer.out)) &&
                         (answer.err.empty() || err.write(answer.err));
    put_back();
    return written ? answer.status : 1;
}

}  // namespace portavik
