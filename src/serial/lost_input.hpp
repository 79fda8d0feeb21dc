// SPDX-License-Identifier: MIT

#pragma once

// Bytes from the device that the driver lost (SerialPort::overruns), told
// to the user: what a receiver prints on standard error, at once for the
// first loss, then at most once a second while more come.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace portavik {

class LostInputNotice {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kPace{1};

    // The line to print for the port's overrun count `overruns`, if one is due.
    std::optional<std::string> check(std::uint64_t overruns, Clock::time_point now);

  private:
    std::uint64_t reported_ = 0;
    std::optional<Clock::time_point> printed_at_;
};

}  // namespace portavik
