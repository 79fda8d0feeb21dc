// POSIX backend of the serial-port layer: termios on a non-blocking descriptor.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "poll_timeout.hpp"
#include "serial/custom_baud.hpp"
#include "serial/line_timing.hpp"
#include "serial/posix_error.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

namespace {

using Clock = std::chrono::steady_clock;

struct StandardRate {
    std::uint32_t rate;
    speed_t code;
};

// The speed codes termios knows; every other rate goes through set_exact_baud.
constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},         {110, B110},   {134, B134},
    {150, B150},         {200, B200},       {300, B300},   {600, B600},
    {1200, B1200},       {1800, B1800},     {2400, B2400}, {4800, B4800},
#ifdef B7200
    {7200, B7200},
#endif
    {9600, B9600},
#ifdef B14400
    {14400, B14400},
#endif
    {19200, B19200},
#ifdef B28800
    {28800, B28800},
#endif
    {38400, B38400},     {57600, B57600},
#ifdef B76800
    {76800, B76800},
#endif
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

std::optional<speed_t> standard_code(std::uint32_t rate) {
    for (const StandardRate& entry : kStandardRates) {
        if (entry.rate == rate) {
            return entry.code;
        }
    }
    return std::nullopt;
}

// --- Texts -------------------------------------------------------------------

SerialError zero_baud_error() {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       "скорость 0 бод недопустима (в POSIX она означает разрыв линии)"};
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

IoError disconnected(int err = 0) {
    std::string message = "устройство отключено";
    if (err != 0) {
        message += " (" + detail::os_error_text(err) + ")";
    }
    return IoError{IoKind::BrokenPipe, std::move(message)};
}

// --- termios flags -------------------------------------------------------------

void make_raw(termios& attrs) {
    attrs.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK);
    attrs.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    attrs.c_cflag |= static_cast<tcflag_t>(CREAD | CLOCAL);
    // poll reports data as soon as one byte is there (n_tty: VMIN 1, VTIME 0).
    attrs.c_cc[VMIN] = 1;
    attrs.c_cc[VTIME] = 0;
}

void put_data_bits(termios& attrs, DataBits value) {
    attrs.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (value) {
        case DataBits::Five:
            attrs.c_cflag |= CS5;
            break;
        case DataBits::Six:
            attrs.c_cflag |= CS6;
            break;
        case DataBits::Seven:
            attrs.c_cflag |= CS7;
            break;
        case DataBits::Eight:
            attrs.c_cflag |= CS8;
            break;
    }
}

void put_parity(termios& attrs, Parity value) {
    attrs.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    if (value == Parity::Odd) {
        attrs.c_cflag |= static_cast<tcflag_t>(PARENB | PARODD);
    } else if (value == Parity::Even) {
        attrs.c_cflag |= static_cast<tcflag_t>(PARENB);
    }
}

void put_stop_bits(termios& attrs, StopBits value) {
    if (value == StopBits::Two) {
        attrs.c_cflag |= static_cast<tcflag_t>(CSTOPB);
    } else {
        attrs.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
}

void put_flow_control(termios& attrs, FlowControl value) {
    attrs.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    attrs.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (value == FlowControl::Software) {
        attrs.c_iflag |= static_cast<tcflag_t>(IXON | IXOFF);
    } else if (value == FlowControl::Hardware) {
        attrs.c_cflag |= static_cast<tcflag_t>(CRTSCTS);
    }
}

DataBits data_bits_of(const termios& attrs) {
    switch (attrs.c_cflag & CSIZE) {
        case CS5:
            return DataBits::Five;
        case CS6:
            return DataBits::Six;
        case CS7:
            return DataBits::Seven;
        default:
            return DataBits::Eight;
    }
}

Parity parity_of(const termios& attrs) {
    if ((attrs.c_cflag & PARENB) == 0) {
        return Parity::None;
    }
    return (attrs.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
}

StopBits stop_bits_of(const termios& attrs) {
    return (attrs.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
}

FlowControl flow_control_of(const termios& attrs) {
    if ((attrs.c_cflag & CRTSCTS) != 0) {
        return FlowControl::Hardware;
    }
    if ((attrs.c_iflag & (IXON | IXOFF)) != 0) {
        return FlowControl::Software;
    }
    return FlowControl::None;
}

SerialResult<termios> read_attrs(int fd) {
    termios attrs{};
    if (::tcgetattr(fd, &attrs) != 0) {
        return std::unexpected(detail::serial_error_from_errno(errno));
    }
    return attrs;
}

// --- The open device -------------------------------------------------------------

// Descriptors of the devices held exclusively, for release_ports_now(): a
// fixed table of lock-free slots, usable from a signal handler.
constexpr std::size_t kExclusiveSlots = 8;
std::atomic<int> g_exclusive_fds[kExclusiveSlots] = {-1, -1, -1, -1, -1, -1, -1, -1};
static_assert(std::atomic<int>::is_always_lock_free);

void remember_exclusive(int fd) {
    for (auto& slot : g_exclusive_fds) {
        int expected = -1;
        if (slot.compare_exchange_strong(expected, fd)) {
            return;
        }
    }
}

void forget_exclusive(int fd) {
    for (auto& slot : g_exclusive_fds) {
        int expected = fd;
        if (slot.compare_exchange_strong(expected, -1)) {
            return;
        }
    }
}

// Shared by every handle of one open device. The last handle to go ends the
// exclusive use: without TIOCNXCL a pseudo-terminal slave kept alive by its
// master would stay exclusive for the next open.
class OpenDevice {
  public:
    explicit OpenDevice(int fd) : fd_(fd) {}
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice() {
        // TIOCEXCL is a flag of the terminal, not of this descriptor: an open
        // that failed to get the lock must not clear the holder's flag.
        if (exclusive_) {
            forget_exclusive(fd_);
            ::ioctl(fd_, TIOCNXCL);
        }
        // The flock goes with the last descriptor of this open file (flock(2)).
        ::close(fd_);
    }

    // TIOCEXCL: further opens by anyone but root fail with EBUSY (tty_ioctl(4)).
    int make_exclusive() {
        if (::ioctl(fd_, TIOCEXCL) != 0) {
            return errno;
        }
        exclusive_ = true;
        remember_exclusive(fd_);
        return 0;
    }

    // Only where kExactBaudReadBack is false (macOS): the rate last set with
    // the exact-rate ioctl, which termios does not show; 0 while a standard
    // rate is in force.
    std::atomic<std::uint32_t> exact_rate{0};

  private:
    int fd_;
    bool exclusive_ = false;
};

SerialResult<std::uint32_t> read_baud(int fd, const OpenDevice& device) {
    if constexpr (!detail::kExactBaudReadBack) {
        if (const std::uint32_t exact = device.exact_rate.load(std::memory_order_relaxed);
            exact != 0) {
            return exact;
        }
    }
    std::uint32_t rate = 0;
    if (const int err = detail::get_exact_baud(fd, rate); err != 0) {
        return std::unexpected(detail::serial_error_from_errno(err));
    }
    return rate;
}

// Writes `attrs` with the line at `rate`: a standard rate through its speed
// code, any other through the exact-rate ioctl right after tcsetattr.
SerialResult<void> write_line(int fd, termios attrs, std::uint32_t rate, OpenDevice& device) {
    const std::optional<speed_t> code = standard_code(rate);
    if (code) {
        ::cfsetospeed(&attrs, *code);
        ::cfsetispeed(&attrs, *code);
#ifdef CIBAUD
        // Input speed 0 means "same as output" (termios(3)); glibc's cfsetispeed
        // leaves a BOTHER from an earlier exact rate in CIBAUD otherwise.
        attrs.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
#endif
    } else {
#if defined(__APPLE__)
        // tcsetattr refuses speeds outside the speed codes; IOSSIOSPEED sets the
        // real rate below.
        ::cfsetospeed(&attrs, B9600);
        ::cfsetispeed(&attrs, B9600);
#endif
    }
    // TCSANOW: TCSADRAIN would wait forever on output nobody takes.
    SerialResult<void> outcome;
    if (::tcsetattr(fd, TCSANOW, &attrs) != 0) {
        // EINVAL: none of the requested changes took (tcsetattr(3p) succeeds
        // if any did); the rest still goes on, the read-back names the refusal.
        if (errno != EINVAL) {
            return std::unexpected(detail::serial_error_from_errno(errno));
        }
        outcome = std::unexpected(detail::serial_error_from_errno(errno));
    }
    if (code) {
        device.exact_rate.store(0, std::memory_order_relaxed);
        return outcome;
    }
    if (const int err = detail::set_exact_baud(fd, rate); err != 0) {
        return std::unexpected(detail::serial_error_from_errno(
            err, "устройство отказалось от скорости " + std::to_string(rate) + " бод"));
    }
    device.exact_rate.store(rate, std::memory_order_relaxed);
    return outcome;
}

// The result of a change: a refusal as the read-back names it, otherwise the
// write's own failure.
SerialResult<void> settle(const SerialResult<void>& written, const SerialResult<void>& confirmed) {
    if (!written && written.error().kind != ErrorKind::InvalidInput) {
        return written;
    }
    if (!confirmed) {
        return confirmed;
    }
    return written;
}

class PosixSerialPort final : public SerialPort {
  public:
    PosixSerialPort(int fd, std::string name, std::chrono::milliseconds timeout,
                    std::shared_ptr<OpenDevice> device)
        : fd_(fd), name_(std::move(name)), timeout_(timeout), device_(std::move(device)) {}

    ~PosixSerialPort() override { ::close(fd_); }

    std::optional<std::string> name() const override { return name_; }

    SerialResult<std::uint32_t> baud_rate() const override { return read_baud(fd_, *device_); }

    SerialResult<DataBits> data_bits() const override { return query(data_bits_of); }
    SerialResult<StopBits> stop_bits() const override { return query(stop_bits_of); }
    SerialResult<Parity> parity() const override { return query(parity_of); }
    SerialResult<FlowControl> flow_control() const override { return query(flow_control_of); }

    std::chrono::milliseconds timeout() const override { return timeout_; }

    SerialResult<void> set_baud_rate(std::uint32_t value) override {
        if (value == 0) {
            return std::unexpected(zero_baud_error());
        }
        auto attrs = read_attrs(fd_);
        if (!attrs) {
            return std::unexpected(attrs.error());
        }
        const auto written = write_line(fd_, *attrs, value, *device_);
        return settle(written, confirm_baud(value));
    }

    SerialResult<void> set_data_bits(DataBits value) override {
        const auto changed = change([value](termios& a) { put_data_bits(a, value); });
        return settle(changed, confirm_data_bits(value));
    }

    SerialResult<void> set_stop_bits(StopBits value) override {
        const auto changed = change([value](termios& a) { put_stop_bits(a, value); });
        return settle(changed, confirm_stop_bits(value));
    }

    SerialResult<void> set_parity(Parity value) override {
        const auto changed = change([value](termios& a) { put_parity(a, value); });
        return settle(changed, confirm_parity(value));
    }

    SerialResult<void> set_flow_control(FlowControl value) override {
        const auto changed = change([value](termios& a) { put_flow_control(a, value); });
        return settle(changed, confirm_flow_control(value));
    }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            return std::unexpected(detail::serial_error_from_errno(errno));
        }
        return std::make_unique<PosixSerialPort>(fd, name_, timeout_, device_);
    }

    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (buffer.empty()) {
            return 0;
        }
        const auto deadline = Clock::now() + timeout_;
        for (;;) {
            pollfd request{fd_, POLLIN, 0};
            const int ready = ::poll(&request, 1, poll_timeout(deadline - Clock::now()));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return std::unexpected(detail::io_error_from_errno(errno));
            }
            if (ready == 0) {
                if (Clock::now() >= deadline) {
                    return std::unexpected(IoError{IoKind::TimedOut, "время ожидания истекло"});
                }
                continue;
            }
            if ((request.revents & POLLNVAL) != 0) {
                return std::unexpected(disconnected(EBADF));
            }
            // Read even with POLLHUP/POLLERR: data that came before the hang-up
            // is delivered first.
            const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
            if (got > 0) {
                return static_cast<std::size_t>(got);
            }
            if (got == 0) {
                return std::unexpected(disconnected());
            }
            const int err = errno;
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) {
                if ((request.revents & (POLLHUP | POLLERR)) != 0) {
                    return std::unexpected(disconnected());
                }
                continue;
            }
            if (detail::errno_means_disconnected(err)) {
                return std::unexpected(disconnected(err));
            }
            return std::unexpected(detail::io_error_from_errno(err));
        }
    }

    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty()) {
            return {};
        }
        const FrameLine line = frame_line();
        std::size_t done = 0;
        // The device may take nothing for the timeout plus the time the rest
        // needs on the wire; each accepted byte starts that allowance anew.
        auto last_progress = Clock::now();
        auto allowance = allowed_stall(bytes.size(), line);
        while (done < bytes.size()) {
            const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
                last_progress = Clock::now();
                allowance = allowed_stall(bytes.size() - done, line);
                continue;
            }
            if (put < 0) {
                const int err = errno;
                if (err == EINTR) {
                    continue;
                }
                if (err != EAGAIN && err != EWOULDBLOCK) {
                    if (detail::errno_means_disconnected(err)) {
                        return std::unexpected(disconnected(err));
                    }
                    return std::unexpected(detail::io_error_from_errno(err));
                }
            }
            const auto stalled = Clock::now() - last_progress;
            if (stalled >= allowance) {
                return std::unexpected(IoError{
                    IoKind::TimedOut,
                    "время ожидания истекло: устройство не принимает данные "
                    "(передано " +
                        std::to_string(done) + " из " + std::to_string(bytes.size()) + " байт)"});
            }
            pollfd request{fd_, POLLOUT, 0};
            const int ready = ::poll(&request, 1, poll_timeout(allowance - stalled));
            if (ready < 0 && errno != EINTR) {
                return std::unexpected(detail::io_error_from_errno(errno));
            }
            if (ready > 0 && (request.revents & POLLOUT) == 0 &&
                (request.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                return std::unexpected(disconnected());
            }
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
    template <class T>
    SerialResult<T> query(T (*decode)(const termios&)) const {
        const auto attrs = read_attrs(fd_);
        if (!attrs) {
            return std::unexpected(attrs.error());
        }
        return decode(*attrs);
    }

    struct FrameLine {
        std::uint32_t baud = 0;
        unsigned bits = 10;
    };

    // The line as the device reports it now; a failed query leaves only the
    // timeout as the write allowance.
    FrameLine frame_line() const {
        FrameLine line;
        const auto attrs = read_attrs(fd_);
        const auto baud = read_baud(fd_, *device_);
        if (attrs && baud) {
            line.baud = *baud;
            line.bits =
                detail::frame_bits(data_bits_of(*attrs), parity_of(*attrs), stop_bits_of(*attrs));
        }
        return line;
    }

    Clock::duration allowed_stall(std::size_t remaining, const FrameLine& line) const {
        const auto wire = detail::wire_time(remaining, line.baud, line.bits);
        // A day is far beyond any real wait and keeps the sum from overflowing.
        const auto capped = std::min<std::chrono::nanoseconds>(wire, std::chrono::hours(24));
        return std::chrono::duration_cast<Clock::duration>(timeout_ + capped);
    }

    template <class Change>
    SerialResult<void> change(Change change_attrs) {
        auto attrs = read_attrs(fd_);
        if (!attrs) {
            return std::unexpected(attrs.error());
        }
        const auto rate = read_baud(fd_, *device_);
        if (!rate) {
            return std::unexpected(rate.error());
        }
        change_attrs(*attrs);
        return write_line(fd_, *attrs, *rate, *device_);
    }

    SerialResult<void> confirm_baud(std::uint32_t wanted) const {
        const auto now = baud_rate();
        if (!now) {
            return std::unexpected(now.error());
        }
        // A driver may round to what its divisor can make; within 2 % the
        // line works (a UART receiver tolerates about that much), beyond it
        // the device is not running at the rate asked for.
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

    const int fd_;
    const std::string name_;
    const std::chrono::milliseconds timeout_;
    // Released after fd_ is closed: the last handle's release ends exclusive use.
    const std::shared_ptr<OpenDevice> device_;
};

SerialError busy_error(int err) {
    SerialError error = detail::serial_error_from_errno(err, "порт уже открыт другой программой");
    error.kind = ErrorKind::Io;
    error.io_kind = IoKind::ResourceBusy;
    return error;
}

}  // namespace

SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings) {
    if (settings.baud_rate() == 0) {
        return std::unexpected(zero_baud_error());
    }
    const int fd = ::open(settings.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        // EBUSY: another holder set TIOCEXCL (tty_ioctl(4)).
        return std::unexpected(err == EBUSY ? busy_error(err)
                                            : detail::serial_error_from_errno(err));
    }
    // From here on every failure closes the descriptor and undoes TIOCEXCL.
    auto device = std::make_shared<OpenDevice>(fd);

    // The lock comes first, so that a second opener fails before it touches
    // the line. It also holds for root, which TIOCEXCL does not stop.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK || err == EAGAIN) {
            return std::unexpected(busy_error(err));
        }
        // Devices without flock support fall back on TIOCEXCL alone.
        if (err != ENOTSUP && err != EOPNOTSUPP) {
            return std::unexpected(detail::serial_error_from_errno(err));
        }
    }
    if (const int err = device->make_exclusive(); err != 0) {
        return std::unexpected(detail::serial_error_from_errno(err));
    }

    auto attrs = read_attrs(fd);
    if (!attrs) {
        return std::unexpected(attrs.error());
    }
    make_raw(*attrs);
    put_data_bits(*attrs, settings.data_bits());
    put_parity(*attrs, settings.parity());
    put_stop_bits(*attrs, settings.stop_bits());
    put_flow_control(*attrs, settings.flow_control());
    const auto written = write_line(fd, *attrs, settings.baud_rate(), *device);
    if (!written && written.error().kind != ErrorKind::InvalidInput) {
        return std::unexpected(written.error());
    }

    const int handle_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (handle_fd < 0) {
        return std::unexpected(detail::serial_error_from_errno(errno));
    }
    auto port = std::make_unique<PosixSerialPort>(handle_fd, settings.path(), settings.timeout(),
                                                  std::move(device));
    if (auto settled = settle(written, port->confirm_all(settings)); !settled) {
        return std::unexpected(settled.error());
    }
    return port;
}

void release_ports_now() {
    for (auto& slot : g_exclusive_fds) {
        const int fd = slot.load();
        if (fd >= 0) {
            ::ioctl(fd, TIOCNXCL);
        }
    }
}

}  // namespace portavik
