#pragma once

// The program's entry and the standard mode.

#include "platform.hpp"

namespace portavik {

// Banner, mode menu, and the chosen mode.
void main(Platform& platform);

// The standard mode: port choice, defaults, optional pre-open dialog,
// opening, then the command loop until "Выход".
void run_original_version(Platform& platform);

void show_menu(Console& console);

}  // namespace portavik
