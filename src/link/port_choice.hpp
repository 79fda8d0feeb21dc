// SPDX-License-Identifier: MIT

#pragma once

// Port listing and choice, and the default settings.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.hpp"
#include "link/platform.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// Prints the list (or why there is none) and returns it.
PortList list_available_ports(Console& console, const PortLister& list_ports);

// The chosen port's name; nothing when there is no port to offer or input
// has ended.
std::optional<std::string> select_port(Console& console, const PortLister& list_ports);

// 8N1, no flow control; opening sets the read timeout (choose_and_open_port).
PortSettings get_default_settings(std::string port_name, std::uint32_t baud_rate);

}  // namespace portavik
