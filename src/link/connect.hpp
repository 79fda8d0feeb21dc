// SPDX-License-Identifier: MIT

#pragma once

// What both modes do around opening a port: the failure dialog and the
// connected banner.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "console/console.hpp"
#include "link/platform.hpp"
#include "serial/line_settings.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// Asks the device for its line; a failed read gives `fallback_baud`, 8 bits,
// 1 stop bit, no parity, no flow control, without a message.
LineSettings query_line_settings(const SerialPort& port, std::uint32_t fallback_baud);

// "{baud} бод, 8 бит данных, 1 стоп-бит, нет четность, нет поток"
std::string describe_line_settings(const LineSettings& settings);

void print_connected_banner(Console& console, std::string_view port_name,
                            const LineSettings& settings);

// The dialog after a failed open: true when the user wants another port.
// End of input answers "n".
bool handle_port_error(Console& console, std::string_view port_name, const SerialError& error);

// Both modes' start-up: choose a port, let `prepare` turn its name into
// settings, open with a 50 ms timeout, explain a failure and offer another
// port, and announce the open port (banner, with `fallback_baud` for a rate
// the device cannot report, and the ready line). Nothing when the mode is to end.
std::unique_ptr<SerialPort> choose_and_open_port(
    Platform& platform, const std::function<PortSettings(const std::string&)>& prepare,
    std::uint32_t fallback_baud);

}  // namespace portavik
