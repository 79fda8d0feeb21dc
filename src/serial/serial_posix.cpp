// SPDX-License-Identifier: MIT

// POSIX backend of the serial-port layer: termios on a non-blocking descriptor.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/poll_timeout.hpp"
#include "interrupt/deadly_signals_posix.hpp"
#include "serial/custom_baud.hpp"
#include "serial/driver_counters.hpp"
#include "serial/driver_limits.hpp"
#include "serial/error_texts.hpp"
#include "serial/line_port.hpp"
#include "serial/posix_error.hpp"
#include "serial/termios_line.hpp"
#include "serial/write_stall.hpp"

namespace portavik {

namespace {

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

IoError disconnected(int err = 0) {
    return IoError{IoKind::BrokenPipe,
                   detail::describe_failure(detail::Failure::Disconnected,
                                            err != 0 ? detail::os_error_text(err) : "")};
}

// --- Waking a read ---------------------------------------------------------------

// A descriptor that a read polls beside the port; wake() makes it readable
// for good, so the read in progress and every later one end at once.
class ReadWaker {
  public:
    ReadWaker() {
#if defined(__linux__)
        read_fd_ = write_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#else
        int fds[2];
        if (::pipe(fds) == 0) {
            read_fd_ = fds[0];
            write_fd_ = fds[1];
            for (const int fd : fds) {
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            }
        }
#endif
    }
    ReadWaker(const ReadWaker&) = delete;
    ReadWaker& operator=(const ReadWaker&) = delete;
    ~ReadWaker() {
        if (write_fd_ >= 0 && write_fd_ != read_fd_) {
            ::close(write_fd_);
        }
        if (read_fd_ >= 0) {
            ::close(read_fd_);
        }
    }

    // -1 when it could not be made: reads then end by their timeout alone.
    int fd() const {
        return read_fd_;
    }

    void wake() {
        if (write_fd_ < 0) {
            return;
        }
#if defined(__linux__)
        const std::uint64_t one = 1;
#else
        const char one = 1;
#endif
        [[maybe_unused]] const ssize_t written = ::write(write_fd_, &one, sizeof one);
    }

  private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

// --- The line -------------------------------------------------------------------

SerialResult<termios> read_attrs(int fd) {
    termios attrs{};
    if (::tcgetattr(fd, &attrs) != 0) {
        return std::unexpected(detail::serial_error_from_errno(errno));
    }
    return attrs;
}

// The driver's error counters (TIOCGICOUNT, which the 8250 driver and most
// USB serial drivers answer); nothing where it refuses the query or the
// system has none.
std::optional<DriverCounters> driver_counters([[maybe_unused]] int fd) {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct counters{};
    if (::ioctl(fd, TIOCGICOUNT, &counters) != 0) {
        return std::nullopt;
    }
    return DriverCounters{counters.frame, counters.parity, counters.brk, counters.overrun,
                          counters.buf_overrun};
#else
    return std::nullopt;
#endif
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
    explicit OpenDevice(int fd) : driver(detail::tty_driver(fd)), fd_(fd) {}
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
    // A deadly signal (Ctrl+C included, where nobody else handles it) gives
    // it up before the process dies: on a pseudo-terminal that its master
    // keeps alive the flag would otherwise outlive the process.
    int make_exclusive() {
        signal_scope_.emplace(&release_ports_now, true);
        if (::ioctl(fd_, TIOCEXCL) != 0) {
            const int err = errno;
            signal_scope_.reset();
            return err;
        }
        exclusive_ = true;
        remember_exclusive(fd_);
        return 0;
    }

    // Only where kExactBaudReadBack is false (macOS): the rate last set with
    // the exact-rate ioctl, which termios does not show; 0 while a standard
    // rate is in force.
    std::atomic<std::uint32_t> exact_rate{0};
    // The kernel driver's name, for what its termios cannot show.
    const std::string driver;

    // What the driver counted since the opening, looked at through `fd`.
    LineCounts line_counts(int fd) {
        std::lock_guard lock(tally_lock_);
        if (tally_.asking()) {
            tally_.look(driver_counters(fd));
        }
        return tally_.counts();
    }

  private:
    int fd_;
    bool exclusive_ = false;
    std::optional<DeadlySignalScope> signal_scope_;
    std::mutex tally_lock_;
    DriverTally tally_;
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
SerialResult<void> write_attrs(int fd, termios attrs, std::uint32_t rate, OpenDevice& device) {
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

class PosixSerialPort final : public LinePort {
  public:
    PosixSerialPort(int fd, std::string name, std::chrono::milliseconds timeout,
                    std::shared_ptr<OpenDevice> device)
        : LinePort(std::move(name), timeout), fd_(fd), device_(std::move(device)) {}

    ~PosixSerialPort() override { ::close(fd_); }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            return std::unexpected(detail::serial_error_from_errno(errno));
        }
        return std::make_unique<PosixSerialPort>(fd, *name(), timeout(), device_);
    }

    IoResult<std::size_t> read_bytes(std::span<std::uint8_t> buffer,
                                     Clock::time_point deadline) override {
        for (;;) {
            // The waker's descriptor is -1 (ignored by poll) if it could not be made.
            pollfd watched[2] = {{fd_, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
            const pollfd& request = watched[0];
            const int ready = ::poll(watched, 2, poll_timeout(deadline - Clock::now()));
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return std::unexpected(detail::io_error_from_errno(errno));
            }
            if (ready == 0) {
                if (Clock::now() >= deadline) {
                    return std::unexpected(detail::read_timed_out());
                }
                continue;
            }
            if ((watched[1].revents & POLLIN) != 0) {
                return std::unexpected(detail::read_timed_out());
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

    IoResult<void> write_bytes(std::span<const std::uint8_t> bytes,
                               detail::WriteStall& stall) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
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
            const auto now = Clock::now();
            stall.observe(done, output_queue(), now);
            if (stall.expired(now)) {
                return std::unexpected(
                    IoError{IoKind::TimedOut, detail::write_stalled_text(done, bytes.size())});
            }
            // POLLOUT comes with room for more; the queue draining is looked
            // at every kLook meanwhile.
            pollfd request{fd_, POLLOUT, 0};
            const int ready = ::poll(&request, 1,
                                     poll_timeout(std::min<Clock::duration>(
                                         stall.left(now), detail::WriteStall::kLook)));
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

    void cancel_read() override { wake_.wake(); }

    LineCounts line_counts() const override { return device_->line_counts(fd_); }

  private:
    SerialResult<LineSettings> read_line() const override {
        const auto attrs = read_attrs(fd_);
        if (!attrs) {
            return std::unexpected(attrs.error());
        }
        const auto baud = read_baud(fd_, *device_);
        if (!baud) {
            return std::unexpected(baud.error());
        }
        // What the hardware runs, where the driver's termios says otherwise.
        return detail::in_force_on(device_->driver, detail::line_of(*attrs, *baud));
    }

    // Every flag of the line is put anew, the raw mode with the rest, so
    // nothing another program or a refused change left behind stays.
    SerialResult<void> write_line(const LineSettings& line) override {
        auto attrs = read_attrs(fd_);
        if (!attrs) {
            return std::unexpected(attrs.error());
        }
        detail::make_raw(*attrs);
        detail::put_line(*attrs, line);
        return write_attrs(fd_, *attrs, line.baud_rate, *device_);
    }

    // Bytes waiting in the driver's output queue; 0 where it cannot tell
    // (pseudo-terminals always report 0).
    std::size_t output_queue() const {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) {
            return 0;
        }
        return static_cast<std::size_t>(queued);
    }

    const int fd_;
    // Released after fd_ is closed: the last handle's release ends exclusive use.
    const std::shared_ptr<OpenDevice> device_;
    ReadWaker wake_;
};

SerialError busy_error(int err) {
    return SerialError{ErrorKind::Io, IoKind::ResourceBusy,
                       detail::describe_failure(detail::Failure::Busy, detail::os_error_text(err))};
}

SerialError not_a_serial_line(std::string_view why) {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       detail::describe_failure(detail::Failure::NotASerialLine, why)};
}

// True when `fd` is the master side of a pseudo-terminal (/dev/ptmx opens a
// new one), which no program on the far end can reach.
bool is_pty_master(int fd) {
#if defined(TIOCGPTN)
    unsigned int number = 0;
    return ::ioctl(fd, TIOCGPTN, &number) == 0;
#elif defined(TIOCPTYGNAME)
    char name[128] = {};
    return ::ioctl(fd, TIOCPTYGNAME, name) == 0;
#else
    return false;
#endif
}

// The terminal the program itself runs in: the controlling terminal of its
// session (/dev/tty included), or the device of its standard input, output
// or error. Turning it into a raw serial line would take the user's own
// keyboard and screen away.
bool is_own_terminal(int fd, const struct stat& device) {
    if (const pid_t session = ::tcgetsid(fd); session >= 0 && session == ::getsid(0)) {
        return true;
    }
    for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat info {};
        if (::fstat(standard, &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == device.st_rdev) {
            return true;
        }
    }
    return false;
}

// Refuses, before anything is changed on it, what opened but is not a serial
// line: a file, a pseudo-terminal master, the program's own terminal.
std::optional<SerialError> refuse_non_serial(int fd) {
    struct stat device {};
    if (::fstat(fd, &device) != 0) {
        return detail::serial_error_from_errno(errno);
    }
    if (!S_ISCHR(device.st_mode) || ::isatty(fd) != 1) {
        return not_a_serial_line(detail::os_error_text(ENOTTY));
    }
    if (is_pty_master(fd)) {
        return not_a_serial_line("ведущая сторона псевдотерминала");
    }
    if (is_own_terminal(fd, device)) {
        return not_a_serial_line("терминал, в котором работает сама программа");
    }
    return std::nullopt;
}

}  // namespace

SerialResult<std::unique_ptr<LinePort>> open_device(const std::string& path,
                                                    std::chrono::milliseconds timeout) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        // EBUSY: another holder set TIOCEXCL (tty_ioctl(4)).
        return std::unexpected(err == EBUSY ? busy_error(err)
                                            : detail::serial_error_from_errno(err));
    }
    // From here on every failure closes the descriptor and undoes TIOCEXCL.
    auto device = std::make_shared<OpenDevice>(fd);
    if (auto refused = refuse_non_serial(fd)) {
        return std::unexpected(*refused);
    }

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

    // Counting starts here: the driver's counters tell since its port came up.
    device->line_counts(fd);

    const int handle_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (handle_fd < 0) {
        return std::unexpected(detail::serial_error_from_errno(errno));
    }
    return std::make_unique<PosixSerialPort>(handle_fd, path, timeout, std::move(device));
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
