// SPDX-License-Identifier: MIT

#pragma once

// The standard mode.

#include "link/platform.hpp"

namespace portavik {

// Port choice, defaults, optional pre-open dialog, opening, then the command
// loop until "Выход".
void run_original_version(Platform& platform);

void show_menu(Console& console);

}  // namespace portavik
