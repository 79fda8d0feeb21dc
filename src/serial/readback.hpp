// SPDX-License-Identifier: MIT

#pragma once

// Checks that a device runs with what was asked of it: a driver may keep
// another value without reporting an error, so each opening and each change
// reads the line back (serial/line_port.cpp).

#include <cstdint>

#include "serial/line_settings.hpp"
#include "serial/serial_port.hpp"

namespace portavik::detail {

// Baud rate 0 is not a rate (POSIX uses it to hang up the line).
SerialError zero_baud_error();

// `in_force` is the line read back after a change; a failed read is the
// outcome. A setting other than `wanted` is an InvalidInput error naming the
// value asked for and the one in force; of several, the first in the order
// the settings dialog lists them.
SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, const LineSettings& wanted);

// The outcome of a change: a refusal as the read-back names it, otherwise the
// write's own failure. A write that failed with InvalidInput (the driver took
// none of the change) is reported through the read-back, which says which
// value the device kept.
SerialResult<void> settle(const SerialResult<void>& written, const SerialResult<void>& confirmed);

}  // namespace portavik::detail
