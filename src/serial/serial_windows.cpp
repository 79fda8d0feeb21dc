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

#include "serial/line_timing.hpp"
#include "serial/serial_port.hpp"
#include "windows_text.hpp"

namespace portavik {

namespace {

using Clock = std::chrono::steady_clock;

// --- Errors --------------------------------------------------------------------

SerialError serial_error(DWORD code, ErrorKind kind = ErrorKind::Unknown,
                         IoKind io_kind = IoKind::Other) {
    return SerialError{kind, io_kind, windows::error_text(code)};
}

SerialError serial_error_from(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return serial_error(code, ErrorKind::Io, IoKind::NotFound);
        case ERROR_ACCESS_DENIED:
            return serial_error(code, ErrorKind::Io, IoKind::PermissionDenied);
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return serial_error(code, ErrorKind::Io, IoKind::ResourceBusy);
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
        case ERROR_NOT_SUPPORTED:
            return serial_error(code, ErrorKind::InvalidInput);
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
            return serial_error(code, ErrorKind::NoDevice);
        default:
            return serial_error(code);
    }
}

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

IoError io_error_from(DWORD code) {
    if (means_disconnected(code)) {
        return IoError{IoKind::BrokenPipe,
                       "устройство отключено (" + windows::error_text(code) + ")"};
    }
    return IoError{code == ERROR_TIMEOUT || code == WAIT_TIMEOUT ? IoKind::TimedOut : IoKind::Other,
                   windows::error_text(code)};
}

IoError timed_out() {
    return IoError{IoKind::TimedOut, "время ожидания истекло"};
}

SerialError not_taken(const std::string& wanted, const std::string& in_force) {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       "устройство не приняло " + wanted + " (действует " + in_force + ")"};
}

std::string digits(DataBits value) {
    switch (value) {
        case DataBits::Five:
            return "5";
        case DataBits::Six:
            return "6";
        case DataBits::Seven:
            return "7";
        case DataBits::Eight:
            return "8";
    }
    return "8";
}

std::string parity_word(Parity value) {
    switch (value) {
        case Parity::None:
            return "«нет»";
        case Parity::Odd:
            return "«нечётный»";
        case Parity::Even:
            return "«чётный»";
    }
    return "«нет»";
}

std::string flow_word(FlowControl value) {
    switch (value) {
        case FlowControl::None:
            return "«нет»";
        case FlowControl::Software:
            return "«программное»";
        case FlowControl::Hardware:
            return "«аппаратное»";
    }
    return "«нет»";
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
          write_event_(make_event()) {}

    bool ready() const { return read_event_ && write_event_; }

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
            return std::unexpected(
                SerialError{ErrorKind::InvalidInput, IoKind::Other, "скорость 0 бод недопустима"});
        }
        return settle(change([value](DCB& dcb) { dcb.BaudRate = value; }), confirm_baud(value));
    }
    SerialResult<void> set_data_bits(DataBits value) override {
        return settle(change([value](DCB& dcb) { put_data_bits(dcb, value); }),
                      confirm_data_bits(value));
    }
    SerialResult<void> set_stop_bits(StopBits value) override {
        return settle(change([value](DCB& dcb) { put_stop_bits(dcb, value); }),
                      confirm_stop_bits(value));
    }
    SerialResult<void> set_parity(Parity value) override {
        return settle(change([value](DCB& dcb) { put_parity(dcb, value); }), confirm_parity(value));
    }
    SerialResult<void> set_flow_control(FlowControl value) override {
        return settle(change([value](DCB& dcb) { put_flow_control(dcb, value); }),
                      confirm_flow_control(value));
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
    // is, and wait for it at most the timeout; then take what followed the
    // first byte.
    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (buffer.empty()) {
            return 0;
        }
        const auto deadline = Clock::now() + timeout_;
        for (;;) {
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

    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            auto put = write_some(bytes.subspan(done), done, bytes.size());
            if (!put) {
                return std::unexpected(put.error());
            }
            done += *put;
        }
        return {};
    }

    // Checks that the device runs with `settings` after open_port wrote them.
    SerialResult<void> confirm_all(const PortSettings& settings) const {
        if (auto ok = confirm_baud(settings.baud_rate()); !ok) {
            return ok;
        }
        if (auto ok = confirm_data_bits(settings.data_bits()); !ok) {
            return ok;
        }
        if (auto ok = confirm_parity(settings.parity()); !ok) {
            return ok;
        }
        if (auto ok = confirm_stop_bits(settings.stop_bits()); !ok) {
            return ok;
        }
        return confirm_flow_control(settings.flow_control());
    }

  private:
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
        change_dcb(*dcb);
        if (!::SetCommState(handle_.get(), &*dcb)) {
            return std::unexpected(serial_error_from(::GetLastError()));
        }
        return {};
    }

    // The result of a change: a refusal as the read-back names it, otherwise
    // the change's own failure.
    static SerialResult<void> settle(const SerialResult<void>& written,
                                     const SerialResult<void>& confirmed) {
        if (!written && written.error().kind != ErrorKind::InvalidInput) {
            return written;
        }
        if (!confirmed) {
            return confirmed;
        }
        return written;
    }

    SerialResult<void> confirm_baud(std::uint32_t wanted) const {
        const auto now = baud_rate();
        if (!now) {
            return std::unexpected(now.error());
        }
        // Within 2 % a UART receiver still keeps up; beyond, the device does
        // not run at the rate asked for.
        const std::uint64_t deviation = *now > wanted ? *now - wanted : wanted - *now;
        if (deviation * 50 > wanted) {
            return std::unexpected(
                not_taken("скорость " + std::to_string(wanted) + " бод", std::to_string(*now)));
        }
        return {};
    }

    SerialResult<void> confirm_data_bits(DataBits wanted) const {
        const auto now = data_bits();
        if (!now) {
            return std::unexpected(now.error());
        }
        if (*now != wanted) {
            return std::unexpected(not_taken(digits(wanted) + " бит данных", digits(*now)));
        }
        return {};
    }

    SerialResult<void> confirm_stop_bits(StopBits wanted) const {
        const auto now = stop_bits();
        if (!now) {
            return std::unexpected(now.error());
        }
        if (*now != wanted) {
            const auto count = [](StopBits v) { return v == StopBits::Two ? "2" : "1"; };
            return std::unexpected(
                not_taken(wanted == StopBits::Two ? "2 стоп-бита" : "1 стоп-бит", count(*now)));
        }
        return {};
    }

    SerialResult<void> confirm_parity(Parity wanted) const {
        const auto now = parity();
        if (!now) {
            return std::unexpected(now.error());
        }
        if (*now != wanted) {
            return std::unexpected(
                not_taken("контроль чётности " + parity_word(wanted), parity_word(*now)));
        }
        return {};
    }

    SerialResult<void> confirm_flow_control(FlowControl wanted) const {
        const auto now = flow_control();
        if (!now) {
            return std::unexpected(now.error());
        }
        if (*now != wanted) {
            return std::unexpected(
                not_taken("управление потоком " + flow_word(wanted), flow_word(*now)));
        }
        return {};
    }

    // Bytes waiting in the driver's input queue, and in its output queue.
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

    // One overlapped ReadFile, waited for until `deadline`; a read still
    // pending then is cancelled, and what it got meanwhile counts.
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
        const DWORD waited =
            ::WaitForSingleObject(request.hEvent, wait_ms(deadline - Clock::now()));
        const bool cancelled = waited != WAIT_OBJECT_0;
        if (cancelled) {
            ::CancelIoEx(handle_.get(), &request);
        }
        if (!::GetOverlappedResult(handle_.get(), &request, &got, TRUE)) {
            const DWORD error = ::GetLastError();
            if (!(cancelled && error == ERROR_OPERATION_ABORTED)) {
                return std::unexpected(io_error_from(error));
            }
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

    // One overlapped WriteFile of `bytes`, waited for while the device makes
    // progress: it may take nothing for the timeout plus the time the rest
    // needs on the wire, and each byte it takes starts that allowance anew.
    IoResult<std::size_t> write_some(std::span<const std::uint8_t> bytes, std::size_t done_before,
                                     std::size_t total) {
        const std::size_t size = std::min<std::size_t>(bytes.size(), 1 << 20);
        OVERLAPPED request{};
        request.hEvent = write_event_.get();
        ::ResetEvent(request.hEvent);
        DWORD put = 0;
        if (::WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(size), &put, &request)) {
            return static_cast<std::size_t>(put);
        }
        if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
            return std::unexpected(io_error_from(error));
        }
        const auto allowance = allowed_stall(size);
        auto last_progress = Clock::now();
        std::optional<DWORD> last_queue;
        for (;;) {
            const auto left = allowance - (Clock::now() - last_progress);
            const DWORD waited =
                ::WaitForSingleObject(request.hEvent, std::min<DWORD>(wait_ms(left), 100));
            if (waited == WAIT_OBJECT_0) {
                break;
            }
            // The output queue shrinking is the device taking bytes.
            if (const auto status = comm_status(); status) {
                if (last_queue && status->cbOutQue < *last_queue) {
                    last_progress = Clock::now();
                }
                last_queue = status->cbOutQue;
            }
            if (Clock::now() - last_progress >= allowance) {
                ::CancelIoEx(handle_.get(), &request);
                ::GetOverlappedResult(handle_.get(), &request, &put, TRUE);
                return std::unexpected(
                    IoError{IoKind::TimedOut,
                            "время ожидания истекло: устройство не принимает данные (передано " +
                                std::to_string(done_before + put) + " из " + std::to_string(total) +
                                " байт)"});
            }
        }
        if (!::GetOverlappedResult(handle_.get(), &request, &put, TRUE)) {
            return std::unexpected(io_error_from(::GetLastError()));
        }
        return static_cast<std::size_t>(put);
    }

    Clock::duration allowed_stall(std::size_t remaining) const {
        std::chrono::nanoseconds wire{0};
        if (const auto dcb = read_dcb(); dcb) {
            wire = detail::wire_time(
                remaining, dcb->BaudRate,
                detail::frame_bits(data_bits_of(*dcb), parity_of(*dcb), stop_bits_of(*dcb)));
        }
        // A day is far beyond any real wait and keeps the sum from overflowing.
        const auto capped = std::min<std::chrono::nanoseconds>(wire, std::chrono::hours(24));
        return std::chrono::duration_cast<Clock::duration>(timeout_ + capped);
    }

    const UniqueHandle handle_;
    const std::string name_;
    const std::chrono::milliseconds timeout_;
    const UniqueHandle read_event_;
    const UniqueHandle write_event_;
};

SerialError open_error(DWORD code) {
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        // COM ports open exclusively: another program holds this one.
        SerialError error = serial_error(code, ErrorKind::Io, IoKind::ResourceBusy);
        error.description = "порт уже открыт другой программой (" + error.description + ")";
        return error;
    }
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        SerialError error = serial_error(code, ErrorKind::Io, IoKind::NotFound);
        error.description = "порт не найден (" + error.description + ")";
        return error;
    }
    return serial_error_from(code);
}

}  // namespace

SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings) {
    if (settings.baud_rate() == 0) {
        return std::unexpected(
            SerialError{ErrorKind::InvalidInput, IoKind::Other, "скорость 0 бод недопустима"});
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
        // Not a serial device (a file, a printer port).
        return std::unexpected(serial_error_from(::GetLastError()));
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
    // until it is done; both are bounded by waiting on their events.
    COMMTIMEOUTS timeouts{};
    if (!::SetCommTimeouts(handle.get(), &timeouts)) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    auto port =
        std::make_unique<WindowsSerialPort>(std::move(handle), settings.path(), settings.timeout());
    if (!port->ready()) {
        return std::unexpected(serial_error_from(::GetLastError()));
    }
    const auto confirmed = port->confirm_all(settings);
    if (!confirmed) {
        return std::unexpected(confirmed.error());
    }
    if (!written) {
        return std::unexpected(written.error());
    }
    return port;
}

// Windows releases the handles of an ending process, and with them the
// exclusive use of their ports.
void release_ports_now() {}

}  // namespace portavik
