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
    UnexpectedEof,
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

// Description of a port to be opened. Setters return a copy with one field
// replaced, so settings are built as a chain.
class PortSettings {
  public:
    PortSettings(std::string path, std::uint32_t baud_rate)
        : path_(std::move(path)), baud_rate_(baud_rate) {}

    [[nodiscard]] PortSettings baud_rate(std::uint32_t value) const;
    [[nodiscard]] PortSettings data_bits(DataBits value) const;
    [[nodiscard]] PortSettings flow_control(FlowControl value) const;
    [[nodiscard]] PortSettings parity(Parity value) const;
    [[nodiscard]] PortSettings stop_bits(StopBits value) const;
    [[nodiscard]] PortSettings timeout(std::chrono::milliseconds value) const;

    const std::string& path() const { return path_; }
    std::uint32_t baud_rate() const { return baud_rate_; }
    DataBits data_bits() const { return data_bits_; }
    FlowControl flow_control() const { return flow_control_; }
    Parity parity() const { return parity_; }
    StopBits stop_bits() const { return stop_bits_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    friend bool operator==(const PortSettings&, const PortSettings&) = default;

  private:
    std::string path_;
    std::uint32_t baud_rate_;
    DataBits data_bits_ = DataBits::Eight;
    FlowControl flow_control_ = FlowControl::None;
    Parity parity_ = Parity::None;
    StopBits stop_bits_ = StopBits::One;
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

    virtual SerialResult<std::uint32_t> baud_rate() const = 0;
    virtual SerialResult<DataBits> data_bits() const = 0;
    virtual SerialResult<StopBits> stop_bits() const = 0;
    virtual SerialResult<Parity> parity() const = 0;
    virtual SerialResult<FlowControl> flow_control() const = 0;
    virtual std::chrono::milliseconds timeout() const = 0;

    virtual SerialResult<void> set_baud_rate(std::uint32_t value) = 0;
    virtual SerialResult<void> set_data_bits(DataBits value) = 0;
    virtual SerialResult<void> set_stop_bits(StopBits value) = 0;
    virtual SerialResult<void> set_parity(Parity value) = 0;
    virtual SerialResult<void> set_flow_control(FlowControl value) = 0;

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
// Opens the port, puts every setting in force and reads each one back: a
// value the device did not keep is an error that names it.
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
