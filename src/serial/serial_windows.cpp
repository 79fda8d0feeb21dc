// Windows backend of the serial-port layer: a COM device opened for
// overlapped I/O, so that a read waiting on one handle never holds up a
// write or a settings change on another handle of the same device.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/windows_text.hpp"
#include "serial/error_texts.hpp"
#include "serial/line_timing.hpp"
#include "serial/readback.hpp"
#include "serial/serial_port.hpp"
#include "serial/write_stall.hpp"

namespace portavik {

namespace {

using Clock = std::chrono::steady_clock;

// How often a stalled write looks at the driver's output queue.
constexpr auto kQueueLook = std::chrono::milliseconds(100);
// Bytes per WriteFile: a write completes when the device took all of it, so
// smaller requests show progress where the output queue cannot (wine's
// pseudo-terminals report none).
constexpr std::size_t kWriteChunk = 4096;

// --- Errors --------------------------------------------------------------------

// Codes with which a driver reports that its device went away: pending and
// new I/O fail with them (a pseudo-terminal whose peer closed, under wine:
// ERROR_BROKEN_PIPE on reads, ERROR_NOT_READY on writes; unplugged USB
// adapters: access denied, bad command, general failure, aborted I/O).
bool means_disconnected(DWORD code) {
    switch (code) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NOT_READY:
        case ERROR_OPERATION_ABORTED:
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_INVALID_HANDLE:
            return true;
        default:
            return false;
    }
}

SerialError serial_error(ErrorKind kind, IoKind io_kind, std::string description) {
    return SerialError{kind, io_kind, std::move(description)};
}

// A failure of a query, a setter or a clone on an open port.
SerialError serial_error_from(DWORD code) {
    const std::string os_text = windows::error_text(code);
    switch (code) {
        case ERROR_INVALID_PARAMETER:
        case ERROR_NOT_SUPPORTED:
            return serial_error(ErrorKind::InvalidInput, IoKind::Other, os_text);
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
            return serial_error(ErrorKind::NoDevice, IoKind::Other,
                                detail::describe_failure(detail::Failure::Disconnected, os_text));
        default:
            if (means_disconnected(code)) {
                return serial_error(
                    ErrorKind::Io, IoKind::BrokenPipe,
                    detail::describe_failure(detail::Failure::Disconnected, os_text));
            }
            return serial_error(ErrorKind::Unknown, IoKind::Other, os_text);
    }
}

// A failure of CreateFileW on a port name.
SerialError open_error(DWORD code) {
    const std::string os_text = windows::error_text(code);
    switch (code) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // COM ports open exclusively: another program holds this one.
            return serial_error(ErrorKind::Io, IoKind::ResourceBusy,
                                detail::describe_failure(detail::Failure::Busy, os_text));
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return serial_error(ErrorKind::Io, IoKind::NotFound,
                                detail::describe_failure(detail::Failure::NoDevice, os_text));
        case ERROR_INVALID_NAME:
            return serial_error(ErrorKind::InvalidInput, IoKind::Other,
                                detail::describe_failure(detail::Failure::NoDevice, os_text));
        default:
            return serial_error_from(code);
    }
}

IoError io_error_from(DWORD code) {
    const std::string os_text = windows::error_text(code);
    if (means_disconnected(code)) {
        return IoError{IoKind::BrokenPipe,
                       detail::describe_failure(detail::Failure::Disconnected, os_text)};
    }
    return IoError{code == ERROR_TIMEOUT ? IoKind::TimedOut : IoKind::Other, os_text};
}

IoError timed_out() {
    return IoError{IoKind::TimedOut, std::string(detail::kReadTimedOut)};
}

// --- DCB fields ------------------------------------------------------------------

void put_data_bits(DCB& dcb, DataBits value) {
    switch (value) {
        case DataBits::Five:
            dcb.ByteSize = 5;
            break;
        case DataBits::Six:
            dcb.ByteSize = 6;
            break;
        case DataBits::Seven:
            dcb.ByteSize = 7;
            break;
        case DataBits::Eight:
            dcb.ByteSize = 8;
            break;
    }
}

void put_parity(DCB& dcb, Parity value) {
    dcb.Parity = value == Parity::Odd ? ODDPARITY : value == Parity::Even ? EVENPARITY : NOPARITY;
    dcb.fParity = value == Parity::None ? FALSE : TRUE;
}

void put_stop_bits(DCB& dcb, StopBits value) {
    dcb.StopBits = value == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
}

// DTR and RTS on while the port is open; hardware flow control hands RTS to
// the driver and waits for CTS, software flow control is XON/XOFF both ways
// (DCB, Win32 API documentation).
void put_flow_control(DCB& dcb, FlowControl value) {
    const bool hardware = value == FlowControl::Hardware;
    const bool software = value == FlowControl::Software;
    dcb.fOutxCtsFlow = hardware ? TRUE : FALSE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = software ? TRUE : FALSE;
    dcb.fInX = software ? TRUE : FALSE;
}

// The line as a terminal program needs it, whatever the last user left:
// binary, no DSR handshake, no character replacement, no abort on errors.
void make_plain(DCB& dcb) {
    dcb.fBinary = TRUE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
}

// What a driver reported, made fit to be written back: a value outside the
// DCB's range fails the whole SetCommState. (wine reads a pseudo-terminal
// that kept PARODD after dropping PARENB as no parity value at all.)
void make_writable(DCB& dcb) {
    if (dcb.Parity > SPACEPARITY) {
        dcb.Parity = NOPARITY;
        dcb.fParity = FALSE;
    }
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) {
        dcb.ByteSize = 8;
    }
    if (dcb.StopBits > TWOSTOPBITS) {
        dcb.StopBits = ONESTOPBIT;
    }
}

DataBits data_bits_of(const DCB& dcb) {
    switch (dcb.ByteSize) {
        case 5:
            return DataBits::Five;
        case 6:
            return DataBits::Six;
        case 7:
            return DataBits::Seven;
        default:
            return DataBits::Eight;
    }
}

Parity parity_of(const DCB& dcb) {
    if (dcb.Parity == ODDPARITY) {
        return Parity::Odd;
    }
    return dcb.Parity == EVENPARITY ? Parity::Even : Parity::None;
}

StopBits stop_bits_of(const DCB& dcb) {
    return dcb.StopBits == ONESTOPBIT ? StopBits::One : StopBits::Two;
}

FlowControl flow_control_of(const DCB& dcb) {
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        return FlowControl::Hardware;
    }
    if (dcb.fOutX || dcb.fInX) {
        return FlowControl::Software;
    }
    return FlowControl::None;
}

// --- Handles -------------------------------------------------------------------

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// A manual-reset event for one kind of overlapped request of one handle.
UniqueHandle make_event() {
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// "COM3" as the device path that also reaches COM10 and above.
std::wstring device_path(const std::string& name) {
    if (name.starts_with("\\\\.\\")) {
        return windows::to_utf16(name);
    }
    return windows::to_utf16("\\\\.\\" + name);
}

DWORD wait_ms(Clock::duration left) {
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
}

class WindowsSerialPort final : public SerialPort {
  public:
    WindowsSerialPort(UniqueHandle handle, std::string name, std::chrono::milliseconds timeout)
        : handle_(std::move(handle)),
          name_(std::move(name)),
          timeout_(timeout),
          read_event_(make_event()),
          write_event_(make_event()),
          cancel_event_(make_event()) {}

    bool ready() const { return read_event_ && write_event_ && cancel_event_; }

    std::optional<std::string> name() const override { return name_; }

    SerialResult<std::uint32_t> baud_rate() const override {
        return query([](const DCB& dcb) { return static_cast<std::uint32_t>(dcb.BaudRate); });
    }
    SerialResult<DataBits> data_bits() const override { return query(data_bits_of); }
    SerialResult<StopBits> stop_bits() const override { return query(stop_bits_of); }
    SerialResult<Parity> parity() const override { return query(parity_of); }
    SerialResult<FlowControl> flow_control() const override { return query(flow_control_of); }

    std::chrono::milliseconds timeout() const override { return timeout_; }

    SerialResult<void> set_baud_rate(std::uint32_t value) override {
        if (value == 0) {
            return std::unexpected(detail::zero_baud_error());
        }
        const auto changed = change([value](DCB& dcb) { dcb.BaudRate = value; });
        return detail::settle(changed, detail::confirm_baud(*this, value));
    }
    SerialResult<void> set_data_bits(DataBits value) override {
        const auto changed = change([value](DCB& dcb) { put_data_bits(dcb, value); });
        return detail::settle(changed, detail::confirm_data_bits(*this, value));
    }
    SerialResult<void> set_stop_bits(StopBits value) override {
        const auto changed = change([value](DCB& dcb) { put_stop_bits(dcb, value); });
        return detail::settle(changed, detail::confirm_stop_bits(*this, value));
    }
    SerialResult<void> set_parity(Parity value) override {
        const auto changed = change([value](DCB& dcb) { put_parity(dcb, value); });
        return detail::settle(changed, detail::confirm_parity(*this, value));
    }
    SerialResult<void> set_flow_control(FlowControl value) override {
        const auto changed = change([value](DCB& dcb) { put_flow_control(dcb, value); });
        return detail::settle(changed, detail::confirm_flow_control(*this, value));
    }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), handle_.get(), ::GetCurrentProcess(), &copy,
                               0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        auto clone = std::make_unique<WindowsSerialPort>(UniqueHandle(copy), name_, timeout_);
        if (!clone->ready()) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return clone;
    }

    // The documented way to a read that returns as soon as a byte is there
    // is COMMTIMEOUTS {MAXDWORD, MAXDWORD, timeout}, but wine ignores it on
    // overlapped handles (the read waits for the whole buffer). This holds
    // on both: ask what is queued; read that much, or one byte when nothing
    // is, and wait for it at most the timeout; then take what came behind
    // the first byte.
    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (buffer.empty()) {
            return 0;
        }
        const auto deadline = Clock::now() + timeout_;
        for (;;) {
            if (cancelled()) {
                return std::unexpected(timed_out());
            }
            auto queued = queued_input();
            if (!queued) {
                return std::unexpected(queued.error());
            }
            const std::size_t want = std::clamp<std::size_t>(*queued, 1, buffer.size());
            auto got = read_some(buffer.first(want), deadline);
            if (!got) {
                return std::unexpected(got.error());
            }
            if (*got > 0) {
                if (*queued == 0 && *got < buffer.size()) {
                    return *got + top_up(buffer.subspan(*got));
                }
                return *got;
            }
            if (Clock::now() >= deadline) {
                return std::unexpected(timed_out());
            }
        }
    }

    // Requests of at most kWriteChunk bytes, each waited for under the rule
    // of serial/write_stall.hpp: the bytes done and the output queue
    // (ClearCommError's cbOutQue, which counts the pending request's bytes
    // not yet sent) show the device taking bytes.
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty()) {
            return {};
        }
        const FrameLine line = frame_line();
        detail::WriteStall stall(line.baud, line.bits, Clock::now());
        std::size_t done = 0;
        while (done < bytes.size()) {
            const auto chunk = bytes.subspan(done, std::min(kWriteChunk, bytes.size() - done));
            auto put = write_chunk(chunk, stall, done);
            if (!put) {
                if (put.error().kind == IoKind::TimedOut) {
                    return std::unexpected(IoError{
                        IoKind::TimedOut,
                        detail::write_stalled_text(done + put.error().handed_over, bytes.size())});
                }
                return std::unexpected(put.error().error);
            }
            done += *put;
        }
        return {};
    }

    void cancel_read() override { ::SetEvent(cancel_event_.get()); }

  private:
    // A failed chunk: the error, and for a stall how much of the chunk the
    // device took before it stopped.
    struct ChunkFailure {
        IoKind kind;
        IoError error;
        std::size_t handed_over = 0;
    };

    struct FrameLine {
        std::uint32_t baud = 0;
        unsigned bits = 10;
    };

    SerialResult<DCB> read_dcb() const {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_.get(), &dcb)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return dcb;
    }

    template <class Decode>
    auto query(Decode decode) const -> SerialResult<decltype(decode(DCB{}))> {
        const auto dcb = read_dcb();
        if (!dcb) {
            return std::unexpected(dcb.error());
        }
        return decode(*dcb);
    }

    template <class Change>
    SerialResult<void> change(Change change_dcb) {
        auto dcb = read_dcb();
        if (!dcb) {
            return std::unexpected(dcb.error());
        }
        make_writable(*dcb);
        change_dcb(*dcb);
        if (!::SetCommState(handle_.get(), &*dcb)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return {};
    }

    // The line as the device reports it now; a failed query leaves the
    // queued bytes out of the write allowance.
    FrameLine frame_line() const {
        FrameLine line;
        if (const auto dcb = read_dcb(); dcb) {
            line.baud = dcb->BaudRate;
            line.bits = detail::frame_bits(data_bits_of(*dcb), parity_of(*dcb), stop_bits_of(*dcb));
        }
        return line;
    }

    bool cancelled() const {
        return ::WaitForSingleObject(cancel_event_.get(), 0) == WAIT_OBJECT_0;
    }

    // Bytes waiting in the driver's input and output queues.
    IoResult<COMSTAT> comm_status() const {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_.get(), &errors, &status)) {
            return std::unexpected(io_error_from(::GetLastError()));
        }
        return status;
    }

    IoResult<std::size_t> queued_input() const {
        auto status = comm_status();
        if (!status) {
            return std::unexpected(status.error());
        }
        return static_cast<std::size_t>(status->cbInQue);
    }

    // One overlapped ReadFile, waited for until `deadline` or cancel_read();
    // a read still pending then is cancelled, and what it got meanwhile counts.
    IoResult<std::size_t> read_some(std::span<std::uint8_t> buffer, Clock::time_point deadline) {
        OVERLAPPED request{};
        request.hEvent = read_event_.get();
        ::ResetEvent(request.hEvent);
        DWORD got = 0;
        if (::ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                       &request)) {
            return static_cast<std::size_t>(got);
        }
        if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            return std::unexpected(io_error_from(error));
        }
        const HANDLE events[] = {request.hEvent, cancel_event_.get()};
        const DWORD waited =
            ::WaitForMultipleObjects(2, events, FALSE, wait_ms(deadline - Clock::now()));
        const bool stopped = waited != WAIT_OBJECT_0;
        if (stopped) {
            ::CancelIoEx(handle_.get(), &request);
        }
        if (!::GetOverlappedResult(handle_.get(), &request, &got, TRUE)) {
            // Aborted by the cancel above is a timeout; aborted otherwise, a
            // device that went away.
            if (const DWORD error = ::GetLastError();
                !(stopped && error == ERROR_OPERATION_ABORTED)) {
                return std::unexpected(io_error_from(error));
            }
        }
        if (got == 0 && waited == WAIT_OBJECT_0 + 1) {
            return std::unexpected(timed_out());
        }
        return static_cast<std::size_t>(got);
    }

    // After the first byte: what is queued behind it, without waiting.
    std::size_t top_up(std::span<std::uint8_t> rest) {
        const auto queued = queued_input();
        if (!queued || *queued == 0) {
            return 0;
        }
        const auto got =
            read_some(rest.first(std::min(*queued, rest.size())), Clock::now() + timeout_);
        return got ? *got : 0;
    }

    std::expected<std::size_t, ChunkFailure> write_chunk(std::span<const std::uint8_t> chunk,
                                                         detail::WriteStall& stall,
                                                         std::size_t done) {
        OVERLAPPED request{};
        request.hEvent = write_event_.get();
        ::ResetEvent(request.hEvent);
        DWORD put = 0;
        if (::WriteFile(handle_.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &put,
                        &request)) {
            if (put == 0) {
                return wait_after_empty_write(stall, done);
            }
            return static_cast<std::size_t>(put);
        }
        if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            return std::unexpected(ChunkFailure{IoKind::Other, io_error_from(error)});
        }
        for (;;) {
            const auto now = Clock::now();
            stall.observe(done, queued_output(), now);
            if (stall.expired(now)) {
                ::CancelIoEx(handle_.get(), &request);
                ::GetOverlappedResult(handle_.get(), &request, &put, TRUE);
                if (put == chunk.size()) {
                    return static_cast<std::size_t>(put);  // done just in time
                }
                return std::unexpected(ChunkFailure{IoKind::TimedOut, {}, put});
            }
            const DWORD waited = ::WaitForSingleObject(
                request.hEvent, wait_ms(std::min<Clock::duration>(stall.left(now), kQueueLook)));
            if (waited == WAIT_OBJECT_0) {
                break;
            }
        }
        if (!::GetOverlappedResult(handle_.get(), &request, &put, TRUE)) {
            return std::unexpected(ChunkFailure{IoKind::Other, io_error_from(::GetLastError())});
        }
        if (put == 0) {
            return wait_after_empty_write(stall, done);
        }
        return static_cast<std::size_t>(put);
    }

    // A write that completed with nothing taken (a driver with write
    // timeouts of its own) counts against the stall rule before it is tried
    // again.
    std::expected<std::size_t, ChunkFailure> wait_after_empty_write(detail::WriteStall& stall,
                                                                    std::size_t done) {
        const auto now = Clock::now();
        stall.observe(done, queued_output(), now);
        if (stall.expired(now)) {
            return std::unexpected(ChunkFailure{IoKind::TimedOut, {}, 0});
        }
        ::Sleep(10);
        return 0;
    }

    // 0 where the driver cannot tell.
    std::size_t queued_output() const {
        const auto status = comm_status();
        return status ? static_cast<std::size_t>(status->cbOutQue) : 0;
    }

    const UniqueHandle handle_;
    const std::string name_;
    const std::chrono::milliseconds timeout_;
    const UniqueHandle read_event_;
    const UniqueHandle write_event_;
    // Manual reset and never reset: once cancel_read() set it, every read
    // on this handle returns at once.
    const UniqueHandle cancel_event_;
};

}  // namespace

SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings) {
    if (settings.baud_rate() == 0) {
        return std::unexpected(detail::zero_baud_error());
    }
    UniqueHandle handle(::CreateFileW(device_path(settings.path()).c_str(),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
        handle.release();
        return std::unexpected(open_error(::GetLastError()));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle.get(), &dcb)) {
        // A name that opened but is no serial line (a file, a printer port).
        return std::unexpected(
            serial_error(ErrorKind::InvalidInput, IoKind::Other,
                         detail::describe_failure(detail::Failure::NotASerialLine,
                                                  windows::error_text(::GetLastError()))));
    }
    make_plain(dcb);
    dcb.BaudRate = settings.baud_rate();
    put_data_bits(dcb, settings.data_bits());
    put_parity(dcb, settings.parity());
    put_stop_bits(dcb, settings.stop_bits());
    put_flow_control(dcb, settings.flow_control());
    SerialResult<void> written;
    if (!::SetCommState(handle.get(), &dcb)) {
        written = std::unexpected(serial_error_from(::GetLastError()));
        if (written.error().kind != ErrorKind::InvalidInput) {
            return std::unexpected(written.error());
        }
    }
    // No driver timeouts: a read waits for the bytes it asks for and a write
    // until the device took it all; both are bounded by waiting on their
    // events. Whatever another program left there would change that.
    COMMTIMEOUTS timeouts{};
    if (!::SetCommTimeouts(handle.get(), &timeouts)) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    auto port =
        std::make_unique<WindowsSerialPort>(std::move(handle), settings.path(), settings.timeout());
    if (!port->ready()) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    if (auto settled = detail::settle(written, detail::confirm_all(*port, settings)); !settled) {
        return std::unexpected(settled.error());
    }
    return port;
}

// Windows releases the handles of an ending process, and with them the
// exclusive use of their ports.
void release_ports_now() {}

}  // namespace portavik
