// SPDX-License-Identifier: MIT

#pragma once

// What a serial driver runs where its termios read-back says otherwise. Some
// drivers keep a value in termios that the hardware does not run; the read of
// the line corrects it here, so a change to such a value is reported as
// refused, with the value really in force, like any other refused value.

#include <string>
#include <string_view>

#include "serial/line_settings.hpp"

namespace portavik::detail {

// The name of the kernel driver behind the terminal device `fd` (the one the
// system's device tree names, e.g. "ftdi_sio", "cdc_acm", "serial"); empty
// where it has none (a pseudo-terminal) or the system does not say.
std::string tty_driver(int fd);

// `read_back` as `driver` runs it.
LineSettings in_force_on(std::string_view driver, LineSettings read_back);

}  // namespace portavik::detail
