// SPDX-License-Identifier: MIT

#include "app/mode_menu.hpp"

#include <string_view>

#include "standard/standard_mode.hpp"
#include "text/text.hpp"
#include "tirk/tirk_mode.hpp"

namespace portavik {

void main(Platform& platform) {
    Console& console = platform.console;
    console.line("=== Portavik ===");
    console.line("1. Стандартная версия");
    console.line("2. Версия с командами ТИРК");
    console.print("\nВыберите версию (1-2): ");
    const LineResult input = console.read_line();
    if (!input && input.error() == ReadError::Failed) {
        return;
    }
    // End of input reads as an empty line: an invalid choice.
    const std::string_view choice = input ? trim(*input) : std::string_view();
    if (choice == "1") {
        run_original_version(platform);
    } else if (choice == "2") {
        main_tirk::main(platform);
    } else {
        console.line(
            "⚠️ Неверный выбор. Пожалуйста, выберите 1 или "
            "2");
    }
}

}  // namespace portavik
