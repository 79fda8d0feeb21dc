// SPDX-License-Identifier: MIT

#pragma once

// The 26 ТИРК command frames and their sender.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "codec/hex.hpp"
#include "console/console.hpp"
#include "serial/serial_port.hpp"

namespace portavik::main_tirk {

// The frame of command `tirk_number` without its CRC: 01 50 b1 b2 for 1..19,
// 01 30 n-20 for 20..26; nothing outside 1..26.
std::optional<Bytes> tirk_command_frame(std::uint8_t tirk_number);

using WriteClock = std::function<std::chrono::steady_clock::time_point()>;

// Builds the frame, appends its CRC, writes it and reports the write time
// (whole milliseconds, read from `now` before and after the write) and the frame.
void send_tirk_command(
    Console& console, SerialPort& port, std::uint8_t tirk_number,
    const WriteClock& now = [] { return std::chrono::steady_clock::now(); });

}  // namespace portavik::main_tirk
