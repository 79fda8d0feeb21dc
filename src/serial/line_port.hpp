// SPDX-License-Identifier: MIT

#pragma once

// What every backend's port does the same way. A backend gives only what
// differs between systems: reading and writing the whole line configuration
// at once, cloning, raw reads and writes, cancelling a read, and its own
// errors. Here, once for all of them: the port's line over those two calls,
// with the read-back after each change and at opening, and the line timing
// that a write's stall rule needs.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "serial/line_settings.hpp"
#include "serial/serial_port.hpp"
#include "serial/write_stall.hpp"

namespace portavik {

class LinePort : public SerialPort {
  public:
    LinePort(std::string name, std::chrono::milliseconds timeout)
        : name_(std::move(name)), timeout_(timeout) {}

    std::optional<std::string> name() const final { return name_; }
    std::chrono::milliseconds timeout() const final { return timeout_; }

    SerialResult<LineSettings> line_settings() const final { return read_line(); }
    SerialResult<void> set_line_settings(const LineSettings& line) final;

    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) final;
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) final;

  protected:
    using Clock = std::chrono::steady_clock;

    // `read` with a buffer of at least one byte, waiting until `deadline`.
    virtual IoResult<std::size_t> read_bytes(std::span<std::uint8_t> buffer,
                                             Clock::time_point deadline) = 0;
    // `write_all` with at least one byte, giving up when `stall` expires.
    virtual IoResult<void> write_bytes(std::span<const std::uint8_t> bytes,
                                       detail::WriteStall& stall) = 0;

    // The whole line as the device reports it now.
    virtual SerialResult<LineSettings> read_line() const = 0;
    // Puts the whole line in force at once, with the raw mode a terminal
    // program needs. A failure of kind InvalidInput means the driver took
    // none of it: the read-back that follows says which value it kept.
    virtual SerialResult<void> write_line(const LineSettings& line) = 0;

  private:
    const std::string name_;
    const std::chrono::milliseconds timeout_;
};

// The backend's part of open_port: opens the device at `path` for exclusive
// use, refusing what is not a serial line, and leaves its line settings to
// `set_line_settings`.
SerialResult<std::unique_ptr<LinePort>> open_device(const std::string& path,
                                                    std::chrono::milliseconds timeout);

}  // namespace portavik
