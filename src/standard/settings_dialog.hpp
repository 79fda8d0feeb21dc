// SPDX-License-Identifier: MIT

#pragma once

// The standard mode's settings dialogs: before opening (edits a
// `PortSettings`) and on the open port (applies each change at once).

#include "console/console.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// The pre-open dialog; returns the edited settings when the user chooses
// "6" (or input ends).
PortSettings configure_settings_before_open(Console& console, PortSettings settings);

// The dialog on the open port; returns after "6" (or the end of input) has
// printed the summary of what the device reports.
void configure_port_settings(Console& console, SerialPort& port);

}  // namespace portavik
