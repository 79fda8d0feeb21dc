// SPDX-License-Identifier: MIT

#pragma once

#include <string>
#include <string_view>

#include "serial/serial_port.hpp"

namespace portavik::detail {

// The operating system's text for an errno value (thread-safe).
std::string os_error_text(int err);

// A listing, opening, query or setter failure: the kind follows errno, the
// description is the OS text, or `what` followed by the OS text in parentheses.
SerialError serial_error_from_errno(int err);
SerialError serial_error_from_errno(int err, std::string_view what);

// A read or write failure with the OS text as its message.
IoError io_error_from_errno(int err);

// errno values with which a terminal reports that its device went away.
bool errno_means_disconnected(int err);

}  // namespace portavik::detail
