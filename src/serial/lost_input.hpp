// SPDX-License-Identifier: MIT

#pragma once

// What the driver counted on the line (SerialPort::line_counts), told to the
// user: the lines a receiver prints on standard error. Two of them, each at
// once for the first event of its kind and then at most once a second while
// more come: bytes the driver lost (an overrun), and characters that came
// garbled (framing and parity errors, breaks), with how many since the last
// such line and what probably causes them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial_port.hpp"

namespace portavik {

class LostInputNotice {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kPace{1};
    // The line in force, "38400 8N1"; nothing when the port cannot say.
    using SettingsText = std::function<std::optional<std::string>()>;

    // The lines due for what `port` counted, in the order to print them; its
    // line settings are asked only for a line that names them.
    std::vector<std::string> check(const SerialPort& port, Clock::time_point now);
    std::vector<std::string> check(const LineCounts& counts, Clock::time_point now,
                                   const SettingsText& settings);

  private:
    // One kind of line: the count it last told, and when.
    struct Pace {
        std::uint64_t told = 0;
        std::optional<Clock::time_point> at;
        bool due(std::uint64_t count, Clock::time_point now);
    };
    Pace overruns_;
    Pace errors_;
    LineCounts told_;
};

// The line as it is usually written: rate, data bits, parity, stop bits.
std::string line_code(const LineSettings& line);

}  // namespace portavik
