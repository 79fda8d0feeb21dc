// SPDX-License-Identifier: MIT

#pragma once

// The stream mode's bytes: a sequence anyone can compute again from the seed,
// so that a receiver's copy can be checked for lost, repeated or reordered
// bytes (tools/device/check-stream does that for Portavik's output).

#include <algorithm>
#include <cstdint>
#include <optional>

#include "codec/hex.hpp"

namespace portavik::device {

// x0 = seed, x(k+1) = (x(k) * 1103515245 + 12345) mod 2^32, byte k = x(k+1) >> 24:
// the linear congruential generator of the C standard's sample rand() (ISO
// C 7.22.2.2), whose top bits vary best. `length` bytes, or without end.
class ByteStream {
  public:
    ByteStream(std::uint32_t seed, std::optional<std::uint64_t> length)
        : seed_(seed), state_(seed), length_(length) {}

    // Back to byte 0.
    void restart() {
        state_ = seed_;
        produced_ = 0;
    }

    // Appends the next `count` bytes to `out`, fewer where the stream ends.
    void append(Bytes& out, std::uint64_t count) {
        if (length_) {
            count = std::min(count, *length_ - produced_);
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            state_ = state_ * 1103515245U + 12345U;
            out.push_back(static_cast<std::uint8_t>(state_ >> 24));
        }
        produced_ += count;
    }

    std::uint64_t produced() const { return produced_; }
    bool ended() const { return length_ && produced_ == *length_; }
    std::uint32_t seed() const { return seed_; }
    std::optional<std::uint64_t> length() const { return length_; }

  private:
    std::uint32_t seed_;
    std::uint32_t state_;
    std::optional<std::uint64_t> length_;
    std::uint64_t produced_ = 0;
};

}  // namespace portavik::device
