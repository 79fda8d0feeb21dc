// SPDX-License-Identifier: MIT

#pragma once

// The line settings in a termios structure (POSIX): the serial backend and
// the simulated device, which reads what a port put in force from the
// master side of its pseudo-terminal, decode them the same way.

#include <termios.h>

#include <cstdint>

#include "serial/line_settings.hpp"

namespace portavik::detail {

// Raw mode: no line editing, echo, signals or character translation.
void make_raw(termios& attrs);

// Data bits, parity, stop bits and flow control; the rate is set apart
// (speed codes, or the exact-rate ioctl of serial/custom_baud.hpp).
void put_line(termios& attrs, const LineSettings& line);

// What `attrs` holds, with `baud` as the rate.
LineSettings line_of(const termios& attrs, std::uint32_t baud);

}  // namespace portavik::detail
