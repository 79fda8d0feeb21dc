// SPDX-License-Identifier: MIT

#pragma once

// The device's own console: one whole line per event, with the local time.

#include <cstdint>
#include <span>
#include <string_view>

#include "device_line.hpp"

namespace portavik::device {

// A line as it is, flushed at once (standard output may be a file or a pipe).
void print_line(std::string_view text);

// A line on standard error.
void print_error(std::string_view text);

// "12:00:01.234 [38400 8N1, поток: нет] принято:    01 03 ... — note"
void log_frame(const DeviceLine& settings, bool received, std::span<const std::uint8_t> bytes,
               std::string_view note);

// "12:00:01.234 text"
void log_event(std::string_view text);

}  // namespace portavik::device
