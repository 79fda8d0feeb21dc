// SPDX-License-Identifier: MIT

// Windows backend of the serial-port layer: a COM device opened for
// overlapped I/O, so that a read waiting on one handle never holds up a
// write or a settings change on another handle of the same device.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/windows_text.hpp"
#include "serial/comm_rules.hpp"
#include "serial/dcb_line.hpp"
#include "serial/error_texts.hpp"
#include "serial/line_port.hpp"
#include "serial/write_stall.hpp"

namespace portavik {

namespace {

using Clock = std::chrono::steady_clock;

// The rules of serial/comm_rules.hpp use Win32's values, spelled there so
// that they compile everywhere.
static_assert(comm::kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(comm::kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(comm::kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(comm::kErrorNotReady == ERROR_NOT_READY);
static_assert(comm::kErrorBadCommand == ERROR_BAD_COMMAND);
static_assert(comm::kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(comm::kErrorDevNotExist == ERROR_DEV_NOT_EXIST);
static_assert(comm::kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(comm::kErrorBrokenPipe == ERROR_BROKEN_PIPE);
static_assert(comm::kErrorSemTimeout == ERROR_SEM_TIMEOUT);
#ifdef ERROR_NO_SUCH_DEVICE  // the Windows SDK has it, mingw-w64's headers not
static_assert(comm::kErrorNoSuchDevice == ERROR_NO_SUCH_DEVICE);
#endif
static_assert(comm::kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(comm::kErrorIoDevice == ERROR_IO_DEVICE);
static_assert(comm::kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);
static_assert(comm::kErrorDeviceRemoved == ERROR_DEVICE_REMOVED);
static_assert(comm::kCeRxOver == CE_RXOVER);
static_assert(comm::kCeOverrun == CE_OVERRUN);
static_assert(comm::kCeRxParity == CE_RXPARITY);
static_assert(comm::kCeFrame == CE_FRAME);
static_assert(comm::kCeBreak == CE_BREAK);

// --- Errors --------------------------------------------------------------------

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
            if (comm::means_disconnected(code)) {
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

// A device that went away; `code` 0 where no call failed (a read that
// completed empty).
IoError gone(DWORD code) {
    return IoError{IoKind::BrokenPipe,
                   detail::describe_failure(detail::Failure::Disconnected,
                                            code != 0 ? windows::error_text(code) : "")};
}

IoError io_error_from(DWORD code) {
    if (comm::means_disconnected(code)) {
        return gone(code);
    }
    return IoError{code == ERROR_TIMEOUT ? IoKind::TimedOut : IoKind::Other,
                   windows::error_text(code)};
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

// What every handle of one open device shares.
struct OpenDevice {
    // XonLim and XoffLim for the input queue the driver keeps.
    comm::FlowLimits flow_limits;
    // ClearCommError clears the flags it reports, so whichever handle sees
    // one counts it here.
    std::atomic<std::uint64_t> overruns{0};
    std::atomic<std::uint64_t> framing{0};
    std::atomic<std::uint64_t> parity{0};
    std::atomic<std::uint64_t> breaks{0};

    void count(const LineCounts& more) {
        constexpr auto kRelaxed = std::memory_order_relaxed;
        overruns.fetch_add(more.overruns, kRelaxed);
        framing.fetch_add(more.framing, kRelaxed);
        parity.fetch_add(more.parity, kRelaxed);
        breaks.fetch_add(more.breaks, kRelaxed);
    }
    LineCounts counts() const {
        constexpr auto kRelaxed = std::memory_order_relaxed;
        return {overruns.load(kRelaxed), framing.load(kRelaxed), parity.load(kRelaxed),
                breaks.load(kRelaxed)};
    }
};

// Asks the driver for a large input queue; the XON/XOFF limits for the one
// it keeps.
comm::FlowLimits set_up_queues(HANDLE handle) {
    // All zero where the driver does not say: no maximum, queue unknown.
    COMMPROP properties{};
    ::GetCommProperties(handle, &properties);
    // A request: the driver may round it or keep its own (SetupComm). The
    // output queue holds one write request at most.
    if (::SetupComm(handle, static_cast<DWORD>(comm::input_queue_request(properties.dwMaxRxQueue)),
                    static_cast<DWORD>(comm::kWriteRequest))) {
        properties = {};
        ::GetCommProperties(handle, &properties);
    }
    return comm::flow_limits(properties.dwCurrentRxQueue);
}

class WindowsSerialPort final : public LinePort {
  public:
    WindowsSerialPort(UniqueHandle handle, std::string name, std::chrono::milliseconds timeout,
                      std::shared_ptr<OpenDevice> device)
        : LinePort(std::move(name), timeout),
          handle_(std::move(handle)),
          device_(std::move(device)),
          read_event_(make_event()),
          write_event_(make_event()),
          cancel_event_(make_event()),
          aborts_(timeout) {}

    bool ready() const { return read_event_ && write_event_ && cancel_event_; }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), handle_.get(), ::GetCurrentProcess(), &copy,
                               0, FALSE, DUPLICATE_SAME_ACCESS)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        auto clone =
            std::make_unique<WindowsSerialPort>(UniqueHandle(copy), *name(), timeout(), device_);
        if (!clone->ready()) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return clone;
    }

    // The documented way to a read that returns as soon as a byte is there
    // is COMMTIMEOUTS {MAXDWORD, MAXDWORD, timeout}, but wine ignores it on
    // overlapped handles (the read waits for the whole buffer). This holds
    // on both: ask what is queued; read that much, or one byte when nothing
    // is (or the driver will not say), and wait for it at most the timeout;
    // then take what came behind the first byte.
    IoResult<std::size_t> read_bytes(std::span<std::uint8_t> buffer,
                                     Clock::time_point deadline) override {
        for (;;) {
            if (!wait_turn(deadline)) {
                return std::unexpected(detail::read_timed_out());
            }
            const comm::CommStatus status = comm_status();
            const comm::InputQueue queued = comm::input_queue(status);
            if (queued.state == comm::Queue::Gone) {
                return std::unexpected(gone(status.error));
            }
            const std::size_t want = std::clamp<std::size_t>(queued.bytes, 1, buffer.size());
            auto got = read_some(buffer.first(want), deadline);
            if (!got && got.error().kind == IoKind::Interrupted) {
                if (!aborts_.aborted(Clock::now())) {
                    return std::unexpected(gone(comm::kErrorOperationAborted));
                }
                continue;
            }
            if (!got) {
                return std::unexpected(got.error());
            }
            aborts_.ended();
            if (*got > 0) {
                if (queued.bytes == 0 && *got < buffer.size()) {
                    return *got + top_up(buffer.subspan(*got));
                }
                return *got;
            }
            if (Clock::now() >= deadline) {
                return std::unexpected(detail::read_timed_out());
            }
        }
    }

    // Requests of the sizes comm::write_request chooses, each waited for
    // under the rule of serial/write_stall.hpp: the bytes done, and the
    // bytes still queued (comm::queued_output) show the device taking bytes.
    IoResult<void> write_bytes(std::span<const std::uint8_t> bytes,
                               detail::WriteStall& stall) override {
        return comm::write_in_requests(
            bytes.size(), stall.request_size(comm::kWriteRequest),
            [&](std::size_t done, std::size_t size) -> IoResult<std::size_t> {
                auto put = write_chunk(bytes.subspan(done, size), stall, done);
                if (put) {
                    return *put;
                }
                if (put.error().kind == IoKind::TimedOut) {
                    return std::unexpected(IoError{
                        IoKind::TimedOut,
                        detail::write_stalled_text(done + put.error().handed_over, bytes.size())});
                }
                return std::unexpected(put.error().error);
            });
    }

    void cancel_read() override { ::SetEvent(cancel_event_.get()); }

    LineCounts line_counts() const override { return device_->counts(); }

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
        detail::make_plain(*dcb, device_->flow_limits);
        detail::put_line(*dcb, line);
        if (!::SetCommState(handle_.get(), &*dcb)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return {};
    }

    bool cancelled() const {
        return ::WaitForSingleObject(cancel_event_.get(), 0) == WAIT_OBJECT_0;
    }

    // Whether a read may start before `deadline`: after an abort it waits
    // out its pause (comm::AbortPacer), ended early by cancel_read().
    bool wait_turn(Clock::time_point deadline) const {
        const Clock::time_point resume = aborts_.resume_at();
        if (const auto now = Clock::now(); resume > now) {
            ::WaitForSingleObject(cancel_event_.get(), wait_ms(std::min(resume, deadline) - now));
        }
        return !cancelled() && Clock::now() >= resume;
    }

    // ClearCommError: the queues, and the line's troubles counted for the
    // device.
    comm::CommStatus comm_status() const {
        DWORD errors = 0;
        COMSTAT queues{};
        if (!::ClearCommError(handle_.get(), &errors, &queues)) {
            return {false, ::GetLastError()};
        }
        const comm::CommStatus status{true, 0, errors, queues.cbInQue, queues.cbOutQue};
        device_->count(comm::flag_counts(status));
        return status;
    }

    // A request signalled through `event`, reset for it.
    static OVERLAPPED overlapped(HANDLE event) {
        OVERLAPPED request{};
        request.hEvent = event;
        ::ResetEvent(event);
        return request;
    }

    // How a ReadFile or WriteFile call went, right after it returned
    // `called` (the last error is its own): done or failed at once, or
    // nothing yet while the request is pending.
    static std::optional<comm::Completion> started(BOOL called, DWORD moved) {
        if (called) {
            return comm::Completion{true, 0, moved, false};
        }
        if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            return comm::Completion{false, error, 0, false};
        }
        return std::nullopt;
    }

    // The end of a request that was pending, once it has ended or been
    // cancelled (`stopped`).
    comm::Completion finished(OVERLAPPED& request, bool stopped) const {
        DWORD moved = 0;
        const bool ok = ::GetOverlappedResult(handle_.get(), &request, &moved, TRUE) != FALSE;
        return {ok, ok ? 0 : ::GetLastError(), moved, stopped};
    }

    // What a failed call or an ended request means: the bytes moved (maybe
    // none: try again), or the error.
    IoResult<std::size_t> result_of(comm::Outcome outcome, const comm::Completion& end) {
        switch (outcome) {
            case comm::Outcome::Bytes:
                return end.bytes;
            case comm::Outcome::Gone:
                return std::unexpected(gone(end.error));
            case comm::Outcome::Failed:
                return std::unexpected(io_error_from(end.error));
            case comm::Outcome::AskPort: {
                const comm::CommStatus status = comm_status();
                return result_of(comm::after_abort(status),
                                 {false, status.ok ? end.error : status.error, end.bytes, false});
            }
            case comm::Outcome::Aborted:
                // What came before the abort counts; an empty one is paced.
                if (end.bytes > 0) {
                    return end.bytes;
                }
                return std::unexpected(IoError{IoKind::Interrupted, windows::error_text(end.error)});
        }
        return std::unexpected(io_error_from(end.error));
    }

    // One overlapped ReadFile, waited for until `deadline` or cancel_read();
    // a read still pending then is cancelled, and what it got meanwhile counts.
    IoResult<std::size_t> read_some(std::span<std::uint8_t> buffer, Clock::time_point deadline) {
        OVERLAPPED request = overlapped(read_event_.get());
        DWORD got = 0;
        const BOOL called = ::ReadFile(handle_.get(), buffer.data(),
                                       static_cast<DWORD>(buffer.size()), &got, &request);
        auto end = started(called, got);
        if (!end) {
            const HANDLE events[] = {request.hEvent, cancel_event_.get()};
            const DWORD waited =
                ::WaitForMultipleObjects(2, events, FALSE, wait_ms(deadline - Clock::now()));
            const bool stopped = waited != WAIT_OBJECT_0;
            if (stopped) {
                ::CancelIoEx(handle_.get(), &request);
            }
            end = finished(request, stopped);
        }
        return result_of(comm::read_end(*end), *end);
    }

    // After the first byte: what is queued behind it, without waiting; one
    // byte at a time while there are any where the driver will not say.
    std::size_t top_up(std::span<std::uint8_t> rest) {
        const comm::InputQueue queued = comm::input_queue(comm_status());
        if (queued.state == comm::Queue::Counted && queued.bytes > 0) {
            const auto got = read_some(rest.first(std::min(queued.bytes, rest.size())),
                                       Clock::now() + timeout());
            return got ? *got : 0;
        }
        std::size_t got = 0;
        while (queued.state == comm::Queue::Unknown && got < rest.size()) {
            const auto one = read_some(rest.subspan(got, 1), Clock::now());
            if (!one || *one == 0) {
                break;
            }
            got += *one;
        }
        return got;
    }

    std::expected<std::size_t, ChunkFailure> write_chunk(std::span<const std::uint8_t> chunk,
                                                         detail::WriteStall& stall,
                                                         std::size_t done) {
        OVERLAPPED request = overlapped(write_event_.get());
        DWORD put = 0;
        const BOOL called = ::WriteFile(handle_.get(), chunk.data(),
                                        static_cast<DWORD>(chunk.size()), &put, &request);
        auto end = started(called, put);
        while (!end) {
            const auto now = Clock::now();
            stall.observe(done, comm::queued_output(comm_status(), chunk.size()), now);
            if (stall.expired(now)) {
                ::CancelIoEx(handle_.get(), &request);
                const comm::Completion cut = finished(request, true);
                if (cut.bytes == chunk.size()) {
                    return cut.bytes;  // done just in time
                }
                return std::unexpected(ChunkFailure{IoKind::TimedOut, {}, cut.bytes});
            }
            const DWORD waited = ::WaitForSingleObject(
                request.hEvent, wait_ms(std::min<Clock::duration>(stall.left(now), kLook)));
            if (waited == WAIT_OBJECT_0) {
                end = finished(request, false);
            }
        }
        const auto outcome =
            result_of(end->ok ? comm::Outcome::Bytes : comm::failed_call(end->error), *end);
        if (!outcome && outcome.error().kind != IoKind::Interrupted) {
            return std::unexpected(ChunkFailure{IoKind::Other, outcome.error()});
        }
        if (!outcome || *outcome == 0) {
            return wait_after_empty_write(stall, done);
        }
        return *outcome;
    }

    // A write that completed with nothing taken (a driver with write
    // timeouts of its own, or one that aborted it on a line error) counts
    // against the stall rule before it is tried again.
    std::expected<std::size_t, ChunkFailure> wait_after_empty_write(detail::WriteStall& stall,
                                                                    std::size_t done) {
        const auto now = Clock::now();
        stall.observe(done, comm::queued_output(comm_status(), 0), now);
        if (stall.expired(now)) {
            return std::unexpected(ChunkFailure{IoKind::TimedOut, {}, 0});
        }
        ::Sleep(10);
        return 0;
    }

    static constexpr auto kLook = detail::WriteStall::kLook;

    const UniqueHandle handle_;
    const std::shared_ptr<OpenDevice> device_;
    const UniqueHandle read_event_;
    const UniqueHandle write_event_;
    // Manual reset and never reset: once cancel_read() set it, every read
    // on this handle returns at once.
    const UniqueHandle cancel_event_;
    // Reads on this handle made again after aborts.
    comm::AbortPacer aborts_;
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
    auto device = std::make_shared<OpenDevice>();
    device->flow_limits = set_up_queues(handle.get());
    auto port =
        std::make_unique<WindowsSerialPort>(std::move(handle), path, timeout, std::move(device));
    if (!port->ready()) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    return port;
}

// Windows releases the handles of an ending process, and with them the
// exclusive use of their ports.
void release_ports_now() {}

}  // namespace portavik
