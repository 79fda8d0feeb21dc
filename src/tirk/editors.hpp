// SPDX-License-Identifier: MIT

#pragma once

// The two raw-mode editors of the ТИРК menu.

#include <functional>

#include "console/console.hpp"
#include "link/receive.hpp"
#include "serial/serial_port.hpp"
#include "terminal/terminal.hpp"
#include "tirk/line_editor.hpp"

namespace portavik::main_tirk {

struct EditorContext {
    Console& console;
    Terminal& terminal;
    SerialPort& port;
    Flag running;
    ReceiverThread& pause_receiver;
    std::function<EditorClock::time_point()> now = [] { return EditorClock::now(); };
};

void show_hex_menu(Console& console);
void show_tirk_menu(Console& console);

// Runs one editor until Esc, or until `running` is found false.
void run_editor(EditorKind kind, EditorContext& context);

}  // namespace portavik::main_tirk
