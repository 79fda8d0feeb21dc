// SPDX-License-Identifier: MIT

#pragma once

// What the serial layer tells the user when a port fails: a Russian
// description of the failure, the system's own text in parentheses, and what
// to do where a hint helps. Backends map their error codes onto these.

#include <cstddef>
#include <string>
#include <string_view>

#include "serial/serial_port.hpp"

namespace portavik::detail {

enum class Failure {
    NoPermission,    // the user may not open the device
    Busy,            // another program holds the port
    NoDevice,        // nothing behind the name (unplugged, renamed)
    NotASerialLine,  // the name leads to something that is not a serial port
    Disconnected,    // the device went away while open
};

// "{description} ({os_text}). {hint}"; `platform_hint` replaces the general
// hint where the platform knows better (e.g. the dialout group on Linux).
std::string describe_failure(Failure failure, std::string_view os_text,
                             std::string_view platform_hint = {});

// The message of a read that waited out its timeout: routine (twenty a second
// on an idle port at 50 ms), never shown, and short enough for std::string
// to hold without taking heap memory.
inline constexpr std::string_view kReadTimedOut = "таймаут";
inline IoError read_timed_out() {
    return IoError{IoKind::TimedOut, std::string(kReadTimedOut)};
}

// A write that stopped moving: how much of `total` was handed to the device.
std::string write_stalled_text(std::size_t handed_over, std::size_t total);

}  // namespace portavik::detail
