// SPDX-License-Identifier: MIT

#pragma once

// The serial-port layer: describing a port, opening it, and the operations the
// program uses on an open port. Platform backends implement `list_ports` and
// the ports `open_port` opens (serial/line_port.hpp); everything else in this
// header is neutral.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "serial/line_settings.hpp"

namespace portavik {

// Kinds of an underlying I/O failure. The program itself only tells
// `TimedOut` apart; the others appear in debug forms.
enum class IoKind {
    NotFound,
    PermissionDenied,
    TimedOut,
    WouldBlock,
    Interrupted,
    InvalidInput,
    BrokenPipe,
    ResourceBusy,
    Other,
};

// Error of `read` and `write_all`.
struct IoError {
    IoKind kind = IoKind::Other;
    std::string message;
};

enum class ErrorKind { NoDevice, InvalidInput, Unknown, Io };

// Error of listing, opening, queries, setters and cloning. `io_kind` is
// meaningful only when `kind` is `ErrorKind::Io`.
struct SerialError {
    ErrorKind kind = ErrorKind::Unknown;
    IoKind io_kind = IoKind::Other;
    std::string description;
};

template <class T>
using SerialResult = std::expected<T, SerialError>;
template <class T>
using IoResult = std::expected<T, IoError>;

// How often the driver reported each kind of trouble with the bytes from the
// device. Counts only grow.
struct LineCounts {
    // Bytes lost: the driver's input queue or the UART's own buffer overran.
    std::uint64_t overruns = 0;
    // Characters without their stop bit where one belongs.
    std::uint64_t framing = 0;
    // Characters whose parity bit did not match.
    std::uint64_t parity = 0;
    // Breaks: the line held at zero for longer than a character.
    std::uint64_t breaks = 0;

    friend bool operator==(const LineCounts&, const LineCounts&) = default;
};

struct PortInfo {
    std::string port_name;
};

// Description of a port to be opened: its path, the line to put in force and
// the read timeout. Setters return a copy with one value replaced, so
// settings are built as a chain.
class PortSettings {
  public:
    // The line at `baud_rate`, 8N1 without flow control.
    PortSettings(std::string path, std::uint32_t baud_rate)
        : path_(std::move(path)), line_{.baud_rate = baud_rate} {}

    [[nodiscard]] PortSettings baud_rate(std::uint32_t value) const {
        return with(&LineSettings::baud_rate, value);
    }
    [[nodiscard]] PortSettings data_bits(DataBits value) const {
        return with(&LineSettings::data_bits, value);
    }
    [[nodiscard]] PortSettings flow_control(FlowControl value) const {
        return with(&LineSettings::flow_control, value);
    }
    [[nodiscard]] PortSettings parity(Parity value) const {
        return with(&LineSettings::parity, value);
    }
    [[nodiscard]] PortSettings stop_bits(StopBits value) const {
        return with(&LineSettings::stop_bits, value);
    }
    [[nodiscard]] PortSettings line(const LineSettings& value) const;
    [[nodiscard]] PortSettings timeout(std::chrono::milliseconds value) const;

    const std::string& path() const { return path_; }
    const LineSettings& line() const { return line_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    friend bool operator==(const PortSettings&, const PortSettings&) = default;

  private:
    template <class T>
    PortSettings with(T LineSettings::*field, T value) const {
        PortSettings copy = *this;
        copy.line_.*field = value;
        return copy;
    }

    std::string path_;
    LineSettings line_;
    std::chrono::milliseconds timeout_{0};
};

// An open port. Queries ask the device, setters apply at once. One handle
// may be read on one thread while another handle of the same device (from
// `try_clone`) writes and changes settings on another thread.
class SerialPort {
  public:
    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    virtual ~SerialPort() = default;

    virtual std::optional<std::string> name() const = 0;
    virtual std::chrono::milliseconds timeout() const = 0;

    // The whole line as the device reports it now.
    virtual SerialResult<LineSettings> line_settings() const = 0;
    // Puts the whole line in force at once and reads it back: a value the
    // device did not keep is an InvalidInput error that names it and the
    // value in force. The port stays open either way.
    virtual SerialResult<void> set_line_settings(const LineSettings& line) = 0;

    // One setting of the line as the device reports it.
    template <class T>
    SerialResult<T> setting(T LineSettings::*field) const {
        const auto line = line_settings();
        if (!line) {
            return std::unexpected(line.error());
        }
        return (*line).*field;
    }
    // The line in force with one setting changed, put in force as above.
    template <class T>
    SerialResult<void> change(T LineSettings::*field, T value) {
        auto line = line_settings();
        if (!line) {
            return std::unexpected(line.error());
        }
        (*line).*field = value;
        return set_line_settings(*line);
    }

    SerialResult<std::uint32_t> baud_rate() const { return setting(&LineSettings::baud_rate); }
    SerialResult<DataBits> data_bits() const { return setting(&LineSettings::data_bits); }
    SerialResult<StopBits> stop_bits() const { return setting(&LineSettings::stop_bits); }
    SerialResult<Parity> parity() const { return setting(&LineSettings::parity); }
    SerialResult<FlowControl> flow_control() const { return setting(&LineSettings::flow_control); }

    SerialResult<void> set_baud_rate(std::uint32_t value) {
        return change(&LineSettings::baud_rate, value);
    }
    SerialResult<void> set_data_bits(DataBits value) {
        return change(&LineSettings::data_bits, value);
    }
    SerialResult<void> set_stop_bits(StopBits value) {
        return change(&LineSettings::stop_bits, value);
    }
    SerialResult<void> set_parity(Parity value) { return change(&LineSettings::parity, value); }
    SerialResult<void> set_flow_control(FlowControl value) {
        return change(&LineSettings::flow_control, value);
    }

    virtual SerialResult<std::unique_ptr<SerialPort>> try_clone() const = 0;

    // Returns as soon as at least one byte is there (at most buffer.size()),
    // waits at most `timeout()`, fails with `IoKind::TimedOut` when nothing
    // came. A disconnected device is an error, never a 0-byte success.
    virtual IoResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;

    // Returns only after every byte was accepted by the device. Fails with
    // `IoKind::TimedOut` once the device has stopped taking bytes (the rule
    // of serial/write_stall.hpp), saying how many were handed over.
    virtual IoResult<void> write_all(std::span<const std::uint8_t> bytes) = 0;

    // Ends a read in progress on this handle at once, and makes every later
    // read on it return at once, both with `IoKind::TimedOut`: how a receiver
    // thread is stopped without waiting out its timeout. Safe to call from
    // another thread while `read` runs.
    virtual void cancel_read() = 0;

    // What the driver counted on the line since the device was opened, seen
    // through any of its handles; all 0 where the system does not tell. Safe
    // from any thread.
    virtual LineCounts line_counts() const { return {}; }
};

using PortList = std::vector<PortInfo>;

// The ports the system knows (each backend its own way).
SerialResult<PortList> list_ports();
// Opens the port and puts its line in force as `set_line_settings` does.
SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings);

// Gives up the exclusive use of every open port, for an exit that skips
// destructors (the Ctrl+C handler, a fatal stop). Safe in a signal handler.
void release_ports_now();

// Debug forms, as the settings block and fatal stops print them:
// `Error { kind: Io(NotFound), description: "..." }`, `50ms`, `Ok(Eight)`.
std::string_view io_kind_name(IoKind kind);
std::string debug_form(const SerialError& error);
std::string debug_form(std::chrono::nanoseconds duration);

template <class T>
std::string debug_form(const SerialResult<T>& result) {
    if (!result) {
        return "Err(" + debug_form(result.error()) + ")";
    }
    if constexpr (std::is_arithmetic_v<T>) {
        return "Ok(" + std::to_string(*result) + ")";
    } else {
        return "Ok(" + value_name(*result) + ")";
    }
}

}  // namespace portavik
