// SPDX-License-Identifier: MIT

#pragma once

// The ТИРК mode: fixed 9600 8N1, Ctrl+C ends the program, two raw-mode
// editors for HEX data and command numbers.

#include <string_view>

#include "link/platform.hpp"

namespace portavik::main_tirk {

void main(Platform& platform);

void show_menu(Console& console);

}  // namespace portavik::main_tirk
