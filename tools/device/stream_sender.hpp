// SPDX-License-Identifier: MIT

#pragma once

// Sends the stream mode's bytes at the line's rate: a character of an 8N1
// line is 10 bits on the wire, so baud / 10 bytes a second, written in
// slices every kTick.

#include <chrono>
#include <cstdint>
#include <optional>

#include "byte_stream.hpp"

namespace portavik::device {

class StreamSender {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{10};

    // `uart`: what the port does not take at once is dropped and counted, as
    // a UART without flow control loses it; otherwise the stream waits for
    // the port, the time it waited is not made up, and nothing is lost.
    // `xoff_when_full`: a UART whose port has software flow control in force
    // takes a port that takes no more as the XOFF its driver would send near
    // its buffer's end, and waits (XON once it takes bytes again): a
    // pseudo-terminal sends no XOFF of its own.
    StreamSender(ByteStream& stream, bool uart, bool xoff_when_full)
        : stream_(stream), uart_(uart), xoff_when_full_(xoff_when_full) {}

    // A program opened the port: the stream starts again from byte 0.
    void start(Clock::time_point now);
    // Writes to `fd` what is due by `now` at `baud`. While `held` (XOFF under
    // software flow control) nothing goes, and the time held is not made up.
    // `xon_xoff`: software flow control is in force on the port.
    void tick(int fd, Clock::time_point now, std::uint32_t baud, bool held, bool xon_xoff);
    // The port closed: a stream still running says what it sent.
    void stop();

    // When the next slice is due; nothing when the stream is not running.
    std::optional<Clock::time_point> next_tick() const;

  private:
    void rebase(Clock::time_point now);
    std::uint64_t due(Clock::time_point now) const;
    std::size_t write_some(int fd, const Bytes& bytes);
    void log_loss(Clock::time_point now, bool always);
    void finish(const char* how);

    ByteStream& stream_;
    bool uart_;
    bool xoff_when_full_;
    bool running_ = false;
    // The schedule: `base_count_` bytes were due at `base_time_`, then
    // `rate_` bytes a second.
    Clock::time_point base_time_;
    std::uint64_t base_count_ = 0;
    std::uint64_t rate_ = 0;
    Clock::time_point next_;
    // Bytes made but not yet taken by the port (only without `uart_`).
    Bytes backlog_;
    Bytes slice_;
    std::uint64_t sent_ = 0;
    std::uint64_t lost_ = 0;
    std::uint64_t lost_unlogged_ = 0;
    Clock::time_point loss_logged_at_;
};

}  // namespace portavik::device
