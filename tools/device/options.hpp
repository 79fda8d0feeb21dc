// SPDX-License-Identifier: MIT

#pragma once

// Command-line options of portavik-device and its usage text.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace portavik::device {

enum class Mode { Modbus, Tirk, Echo, Text, Stream };

struct Options {
    Mode mode = Mode::Modbus;
    // Empty: the first free /dev/ttyV<N>.
    std::string link;
    // A serial line of this system to play the device on, instead of a
    // virtual port; empty for none.
    std::string port;
    // Period of unsolicited output (tirk, text); empty: the mode's own.
    std::optional<std::chrono::milliseconds> interval;
    // Writes without waiting, as a UART without flow control: what the port
    // does not take at once is dropped and counted.
    bool uart = false;
    // With `uart` and software flow control in force on the port: a port
    // that takes no more holds the stream as its driver's XOFF would.
    bool xoff_when_full = false;
    // The stream mode's seed, and its length (empty: no end).
    std::uint32_t seed = 1;
    std::optional<std::uint64_t> stream_bytes;
    bool help = false;
    bool version = false;
};

// `args` without the program name. The error is one line for the user.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

// The names Portavik lists as virtual ports: directly under /dev, named tty*.
bool is_listed_link_name(std::string_view path);

std::string_view mode_name(Mode mode);

std::string usage_text(std::string_view version);

}  // namespace portavik::device
