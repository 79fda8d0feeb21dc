// SPDX-License-Identifier: MIT

#pragma once

// Putting the user's data on the wire, confirmed on the console, and
// clearing the console.

#include <string>
#include <string_view>

#include "console/console.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// The port's name, or "Неизвестный порт".
std::string port_display_name(const SerialPort& port);

// Each writes with one `write_all` and reports one line; none returns a result.
void send_text_message(Console& console, SerialPort& port, std::string_view message);
void send_hex_data(Console& console, SerialPort& port, std::string_view hex_text);
void send_hex_data_with_crc(Console& console, SerialPort& port, std::string_view hex_text);

// Clears the console the platform's way (Console::clear_screen); returns
// once it is done.
void clear_screen(Console& console);

}  // namespace portavik
