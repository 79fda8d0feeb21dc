// SPDX-License-Identifier: MIT

#pragma once

// When a write that has stopped moving counts as failed, the same for every
// backend: once the device has taken nothing and the driver's output queue
// has not shrunk for a grace second, plus the time the bytes still queued in
// the driver need on the wire. A device that keeps taking bytes, however
// slowly, is waited for; one that has stopped (its flow control holds the
// line, or nobody reads a virtual port) fails in about a second, however
// much is left to send.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "serial/line_timing.hpp"

namespace portavik::detail {

class WriteStall {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kGrace{1};
    // How often a write that waits looks at the driver's output queue.
    static constexpr std::chrono::milliseconds kLook{100};

    WriteStall(std::uint32_t baud, unsigned frame_bits, Clock::time_point now)
        : baud_(baud), frame_bits_(frame_bits), since_(now) {}

    // What the device holds now: `accepted`, the bytes of this write it has
    // taken so far; `queued`, the bytes waiting in the driver's output queue
    // (0 where the driver cannot tell).
    void observe(std::size_t accepted, std::size_t queued, Clock::time_point now) {
        if (accepted > accepted_ || queued < queued_) {
            since_ = now;
            // A day is far beyond any real wait and keeps the sum from overflowing.
            const auto wire = std::min<std::chrono::nanoseconds>(
                wire_time(queued, baud_, frame_bits_), std::chrono::hours(24));
            allowance_ = std::chrono::duration_cast<Clock::duration>(kGrace + wire);
        }
        accepted_ = accepted;
        queued_ = queued;
    }

    bool expired(Clock::time_point now) const { return now - since_ >= allowance_; }

    // Bytes for one write request where a request's progress cannot be seen
    // until it completes: what the line sends in kRequestTime, so that a
    // device taking bytes completes one well within the grace, and a stalled
    // one holds no more than that in the allowance; at least one, at most
    // `most`, and `most` where the rate is unknown.
    static constexpr std::chrono::milliseconds kRequestTime{250};
    std::size_t request_size(std::size_t most) const {
        if (baud_ == 0) {
            return most;
        }
        const std::uint64_t per_request = std::uint64_t{baud_} *
                                          static_cast<std::uint64_t>(kRequestTime.count()) /
                                          (std::uint64_t{frame_bits_} * 1000);
        return static_cast<std::size_t>(std::clamp<std::uint64_t>(per_request, 1, most));
    }

    // Until expired(), at least zero.
    Clock::duration left(Clock::time_point now) const {
        return std::max(Clock::duration::zero(), since_ + allowance_ - now);
    }

  private:
    std::uint32_t baud_;
    unsigned frame_bits_;
    Clock::time_point since_;
    Clock::duration allowance_ = kGrace;
    std::size_t accepted_ = 0;
    // The first look at the queue always counts as progress.
    std::size_t queued_ = std::numeric_limits<std::size_t>::max();
};

}  // namespace portavik::detail
