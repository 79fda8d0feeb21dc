#pragma once

// Port listing and choice, default settings, and how line settings are shown.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console.hpp"
#include "platform.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// Prints the list (or why there is none) and returns it.
PortList list_available_ports(Console& console, const PortLister& list_ports);

// The chosen port's name; nothing when there is no port to offer or input
// has ended.
std::optional<std::string> select_port(Console& console, const PortLister& list_ports);

// 8N1, no flow control, 100 ms timeout.
PortSettings get_default_settings(std::string port_name, std::uint32_t baud_rate);

// Russian words for the one-line summaries.
std::string_view display_word(DataBits value);
std::string_view display_word(StopBits value);
std::string_view display_word(Parity value);
std::string_view display_word(FlowControl value);

// A decimal number of at most `max`: digits only, at most one leading plus.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

}  // namespace portavik
