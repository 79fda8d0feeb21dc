#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

#include "serial/serial_port.hpp"

namespace portavik::detail {

// Bits one byte takes on the wire: start bit, data bits, parity bit, stop bits.
constexpr unsigned frame_bits(DataBits data, Parity parity, StopBits stop) {
    unsigned bits = 1;
    switch (data) {
        case DataBits::Five:
            bits += 5;
            break;
        case DataBits::Six:
            bits += 6;
            break;
        case DataBits::Seven:
            bits += 7;
            break;
        case DataBits::Eight:
            bits += 8;
            break;
    }
    bits += parity == Parity::None ? 0U : 1U;
    bits += stop == StopBits::Two ? 2U : 1U;
    return bits;
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
