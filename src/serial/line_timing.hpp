// SPDX-License-Identifier: MIT

#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

#include "serial/line_settings.hpp"

namespace portavik::detail {

// Bits one byte takes on the wire: start bit, data bits, parity bit, stop bits.
constexpr unsigned frame_bits(DataBits data, Parity parity, StopBits stop) {
    return 1 + row(data).bits + row(parity).bits + row(stop).bits;
}

// Time `bytes` frames of `bits` each need at `baud`; zero for baud 0,
// saturated instead of overflowing.
constexpr std::chrono::nanoseconds wire_time(std::uint64_t bytes, std::uint32_t baud,
                                             unsigned bits) {
    if (baud == 0 || bytes == 0) {
        return std::chrono::nanoseconds{0};
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::chrono::nanoseconds::rep>::max();
    constexpr std::uint64_t kPerSecond = 1'000'000'000;
    if (bytes > std::numeric_limits<std::uint64_t>::max() / bits) {
        return std::chrono::nanoseconds{static_cast<std::chrono::nanoseconds::rep>(kMax)};
    }
    const std::uint64_t total_bits = bytes * bits;
    const std::uint64_t seconds = total_bits / baud;
    // rest < baud < 2^32, so rest * 10^9 stays below 2^63.
    const std::uint64_t rest_ns = total_bits % baud * kPerSecond / baud;
    if (seconds > (kMax - rest_ns) / kPerSecond) {
        return std::chrono::nanoseconds{static_cast<std::chrono::nanoseconds::rep>(kMax)};
    }
    return std::chrono::nanoseconds{
        static_cast<std::chrono::nanoseconds::rep>(seconds * kPerSecond + rest_ns)};
}

}  // namespace portavik::detail
