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
#include "serial/dcb_line.hpp"
#include "serial/error_texts.hpp"
#include "serial/line_port.hpp"
#include "serial/write_stall.hpp"

namespace portavik {

namespace {

using Clock = std::chrono::steady_clock;
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

class WindowsSerialPort final : public LinePort {
  public:
    WindowsSerialPort(UniqueHandle handle, std::string name, std::chrono::milliseconds timeout)
        : LinePort(std::move(name), timeout),
          handle_(std::move(handle)),
          read_event_(make_event()),
          write_event_(make_event()),
          cancel_event_(make_event()) {}

    bool ready() const { return read_event_ && write_event_ && cancel_event_; }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), handle_.get(), ::GetCurrentProcess(), &copy,
                               0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        auto clone = std::make_unique<WindowsSerialPort>(UniqueHandle(copy), *name(), timeout());
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
    IoResult<std::size_t> read_bytes(std::span<std::uint8_t> buffer,
                                     Clock::time_point deadline) override {
        for (;;) {
            if (cancelled()) {
                return std::unexpected(detail::read_timed_out());
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
                return std::unexpected(detail::read_timed_out());
            }
        }
    }

    // Requests of at most kWriteChunk bytes, each waited for under the rule
    // of serial/write_stall.hpp: the bytes done and the output queue
    // (ClearCommError's cbOutQue, which counts the pending request's bytes
    // not yet sent) show the device taking bytes.
    IoResult<void> write_bytes(std::span<const std::uint8_t> bytes,
                               detail::WriteStall& stall) override {
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

    SerialResult<DCB> read_dcb() const {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(handle_.get(), &dcb)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return dcb;
    }

    SerialResult<LineSettings> read_line() const override {
        const auto dcb = read_dcb();
        if (!dcb) {
            return std::unexpected(dcb.error());
        }
        return detail::line_of(*dcb);
    }

    SerialResult<void> write_line(const LineSettings& line) override {
        auto dcb = read_dcb();
        if (!dcb) {
            return std::unexpected(dcb.error());
        }
        detail::make_plain(*dcb);
        detail::put_line(*dcb, line);
        if (!::SetCommState(handle_.get(), &*dcb)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return {};
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
            return std::unexpected(detail::read_timed_out());
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
            read_some(rest.first(std::min(*queued, rest.size())), Clock::now() + timeout());
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
                request.hEvent,
                wait_ms(std::min<Clock::duration>(stall.left(now), detail::WriteStall::kLook)));
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
    const UniqueHandle read_event_;
    const UniqueHandle write_event_;
    // Manual reset and never reset: once cancel_read() set it, every read
    // on this handle returns at once.
    const UniqueHandle cancel_event_;
};

}  // namespace

SerialResult<std::unique_ptr<LinePort>> open_device(const std::string& path,
                                                    std::chrono::milliseconds timeout) {
    UniqueHandle handle(::CreateFileW(device_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
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
    // No driver timeouts: a read waits for the bytes it asks for and a write
    // until the device took it all; both are bounded by waiting on their
    // events. Whatever another program left there would change that.
    COMMTIMEOUTS timeouts{};
    if (!::SetCommTimeouts(handle.get(), &timeouts)) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    auto port = std::make_unique<WindowsSerialPort>(std::move(handle), path, timeout);
    if (!port->ready()) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    return port;
}

// Windows releases the handles of an ending process, and with them the
// exclusive use of their ports.
void release_ports_now() {}

}  // namespace portavik
