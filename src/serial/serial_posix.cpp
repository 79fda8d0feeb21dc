// The POSIX serial backend: a tty opened non-blocking, driven with termios,
// poll and read/write.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "serial/custom_baud.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

namespace {

using Clock = std::chrono::steady_clock;

std::string os_text(int err) { return std::strerror(err); }

IoKind io_kind_of(int err) {
    switch (err) {
        case ENOENT: return IoKind::NotFound;
        case EACCES:
        case EPERM: return IoKind::PermissionDenied;
        case ETIMEDOUT: return IoKind::TimedOut;
        case EAGAIN: return IoKind::WouldBlock;
        case EINTR: return IoKind::Interrupted;
        case EINVAL: return IoKind::InvalidInput;
        case EPIPE: return IoKind::BrokenPipe;
        case EBUSY: return IoKind::ResourceBusy;
        default: return IoKind::Other;
    }
}

SerialError serial_error(int err, std::string description) {
    switch (err) {
        case ENXIO:
        case ENODEV: return {ErrorKind::NoDevice, IoKind::Other, std::move(description)};
        case EINVAL: return {ErrorKind::InvalidInput, IoKind::InvalidInput, std::move(description)};
        case ENOENT:
        case EACCES:
        case EPERM:
        case EBUSY:
        case ETIMEDOUT:
        case EINTR:
        case EIO: return {ErrorKind::Io, io_kind_of(err), std::move(description)};
        default: return {ErrorKind::Unknown, IoKind::Other, std::move(description)};
    }
}

SerialError serial_error(int err) { return serial_error(err, os_text(err)); }

IoError disconnected(int err = 0) {
    std::string message = "устройство отключено";
    if (err != 0) {
        message += " (" + os_text(err) + ")";
    }
    return {IoKind::BrokenPipe, message};
}

IoError io_error(int err) {
    if (err == EIO || err == ENXIO || err == ENODEV) {
        return disconnected(err);
    }
    return {io_kind_of(err), os_text(err)};
}

IoError timed_out() { return {IoKind::TimedOut, "время ожидания истекло"}; }

// Standard rates as termios constants; others go through custom_baud.
speed_t standard_speed(std::uint32_t baud) {
    struct Pair {
        std::uint32_t baud;
        speed_t speed;
    };
    static constexpr Pair kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},
        {150, B150},       {200, B200},       {300, B300},       {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
        {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
        {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
    };
    for (const Pair& pair : kSpeeds) {
        if (pair.baud == baud) {
            return pair.speed;
        }
    }
    return B0;
}

tcflag_t size_flag(DataBits bits) {
    switch (bits) {
        case DataBits::Five: return CS5;
        case DataBits::Six: return CS6;
        case DataBits::Seven: return CS7;
        case DataBits::Eight: return CS8;
    }
    return CS8;
}

DataBits data_bits_of(const termios& t) {
    switch (t.c_cflag & CSIZE) {
        case CS5: return DataBits::Five;
        case CS6: return DataBits::Six;
        case CS7: return DataBits::Seven;
        default: return DataBits::Eight;
    }
}

StopBits stop_bits_of(const termios& t) {
    return (t.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
}

Parity parity_of(const termios& t) {
    if ((t.c_cflag & PARENB) == 0) {
        return Parity::None;
    }
    return (t.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
}

FlowControl flow_control_of(const termios& t) {
    if ((t.c_cflag & CRTSCTS) != 0) {
        return FlowControl::Hardware;
    }
    if ((t.c_iflag & (IXON | IXOFF)) != 0) {
        return FlowControl::Software;
    }
    return FlowControl::None;
}

void set_data_bits_flag(termios& t, DataBits bits) {
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size_flag(bits);
}

void set_stop_bits_flag(termios& t, StopBits bits) {
    if (bits == StopBits::Two) {
        t.c_cflag |= CSTOPB;
    } else {
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
}

void set_parity_flag(termios& t, Parity parity) {
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    if (parity != Parity::None) {
        t.c_cflag |= PARENB;
        t.c_iflag |= INPCK;
        if (parity == Parity::Odd) {
            t.c_cflag |= PARODD;
        }
    }
}

void set_flow_control_flag(termios& t, FlowControl flow) {
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (flow == FlowControl::Hardware) {
        t.c_cflag |= CRTSCTS;
    } else if (flow == FlowControl::Software) {
        t.c_iflag |= IXON | IXOFF;
    }
}

// The raw line discipline of cfmakeraw(3), receiver on, modem lines ignored.
void make_raw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                        ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

std::string data_bits_words(DataBits bits) {
    return std::to_string(static_cast<int>(bits) + 5) + " бит данных";
}

std::string stop_bits_words(StopBits bits) {
    return bits == StopBits::Two ? "2 стоп-бита" : "1 стоп-бит";
}

std::string parity_words(Parity parity) {
    switch (parity) {
        case Parity::None: return "без четности";
        case Parity::Odd: return "нечетную четность";
        case Parity::Even: return "четную четность";
    }
    return "без четности";
}

std::string flow_words(FlowControl flow) {
    switch (flow) {
        case FlowControl::None: return "без управления потоком";
        case FlowControl::Software: return "программное управление потоком";
        case FlowControl::Hardware: return "аппаратное управление потоком";
    }
    return "без управления потоком";
}

// A setting that tcsetattr took without error but that the device did not
// keep (tcsetattr(3): success if any of the changes could be made).
SerialError not_kept(const std::string& wanted, const std::string& in_force) {
    return {ErrorKind::InvalidInput, IoKind::InvalidInput,
            "устройство не приняло " + wanted + " (действует: " + in_force + ")"};
}

SerialError zero_baud() {
    return {ErrorKind::InvalidInput, IoKind::InvalidInput,
            "скорость 0 бод недопустима: на этой системе она означает разрыв линии"};
}

// Baud rates the driver rounds (a UART divisor) are accepted within the
// tolerance a serial receiver has anyway.
bool close_enough(std::uint32_t wanted, std::uint32_t actual) {
    const double ratio = static_cast<double>(actual) / static_cast<double>(wanted);
    return std::fabs(ratio - 1.0) <= 0.02;
}

// Holds the port for one program: flock for everyone, TIOCEXCL for other
// users' opens; undone when the last handle of the port closes.
struct ExclusiveUse {
    int fd;
    ~ExclusiveUse() {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
};

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort(int fd, std::string name, std::chrono::milliseconds timeout,
                    std::shared_ptr<ExclusiveUse> exclusive)
        : fd_(fd), name_(std::move(name)), timeout_(timeout), exclusive_(std::move(exclusive)) {}

    ~PosixSerialPort() override { ::close(fd_); }

    std::optional<std::string> name() const override { return name_; }

    SerialResult<std::uint32_t> baud_rate() const override {
        std::uint32_t baud = 0;
        if (const int err = detail::get_exact_baud(fd_, baud); err != 0) {
            return std::unexpected(serial_error(err));
        }
        return baud;
    }
    SerialResult<DataBits> data_bits() const override { return query(&data_bits_of); }
    SerialResult<StopBits> stop_bits() const override { return query(&stop_bits_of); }
    SerialResult<Parity> parity() const override { return query(&parity_of); }
    SerialResult<FlowControl> flow_control() const override { return query(&flow_control_of); }
    std::chrono::milliseconds timeout() const override { return timeout_; }

    SerialResult<void> set_baud_rate(std::uint32_t baud) override;
    SerialResult<void> set_data_bits(DataBits bits) override {
        return change(bits, &set_data_bits_flag, &data_bits_of, &data_bits_words);
    }
    SerialResult<void> set_stop_bits(StopBits bits) override {
        return change(bits, &set_stop_bits_flag, &stop_bits_of, &stop_bits_words);
    }
    SerialResult<void> set_parity(Parity parity) override {
        return change(parity, &set_parity_flag, &parity_of, &parity_words);
    }
    SerialResult<void> set_flow_control(FlowControl flow) override {
        return change(flow, &set_flow_control_flag, &flow_control_of, &flow_words);
    }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            return std::unexpected(serial_error(errno));
        }
        return std::make_unique<PosixSerialPort>(fd, name_, timeout_, exclusive_);
    }

    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override;

    // Applies every line setting and checks that the device kept them.
    SerialResult<void> apply(const PortSettings& settings);

private:
    SerialResult<termios> attributes() const {
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) {
            return std::unexpected(serial_error(errno));
        }
        return t;
    }

    template <class T>
    SerialResult<T> query(T (*read_field)(const termios&)) const {
        auto t = attributes();
        if (!t) {
            return std::unexpected(t.error());
        }
        return read_field(*t);
    }

    SerialResult<void> write_attributes(const termios& t) {
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
            return std::unexpected(serial_error(errno));
        }
        return {};
    }

    template <class T>
    SerialResult<void> change(T value, void (*set_field)(termios&, T),
                              T (*read_field)(const termios&), std::string (*words)(T)) {
        auto t = attributes();
        if (!t) {
            return std::unexpected(t.error());
        }
        set_field(*t, value);
        if (auto written = write_attributes(*t); !written) {
            return written;
        }
        auto now = attributes();
        if (!now) {
            return std::unexpected(now.error());
        }
        if (read_field(*now) != value) {
            return std::unexpected(not_kept(words(value), words(read_field(*now))));
        }
        return {};
    }

    // Time the device may take for `bytes` at the rate in force, frame bits counted.
    std::chrono::nanoseconds wire_time(std::size_t bytes) const;

    int fd_;
    std::string name_;
    std::chrono::milliseconds timeout_;
    std::shared_ptr<ExclusiveUse> exclusive_;
};

SerialResult<void> PosixSerialPort::set_baud_rate(std::uint32_t baud) {
    if (baud == 0) {
        return std::unexpected(zero_baud());
    }
    auto t = attributes();
    if (!t) {
        return std::unexpected(t.error());
    }
    const speed_t speed = standard_speed(baud);
    if (speed != B0) {
        ::cfsetispeed(&*t, speed);
        ::cfsetospeed(&*t, speed);
        if (auto written = write_attributes(*t); !written) {
            return written;
        }
    } else if (const int err = detail::set_exact_baud(fd_, baud); err != 0) {
        return std::unexpected(serial_error(
            err, "устройство не принимает скорость " + std::to_string(baud) + " бод (" +
                     os_text(err) + ")"));
    }
    auto actual = baud_rate();
    if (!actual) {
        return std::unexpected(actual.error());
    }
    if (!close_enough(baud, *actual)) {
        return std::unexpected(not_kept("скорость " + std::to_string(baud) + " бод",
                                        std::to_string(*actual) + " бод"));
    }
    return {};
}

SerialResult<void> PosixSerialPort::apply(const PortSettings& settings) {
    auto t = attributes();
    if (!t) {
        return std::unexpected(t.error());
    }
    make_raw(*t);
    if (auto written = write_attributes(*t); !written) {
        return written;
    }
    if (auto set = set_baud_rate(settings.baud_rate()); !set) {
        return set;
    }
    if (auto set = set_data_bits(settings.data_bits()); !set) {
        return set;
    }
    if (auto set = set_parity(settings.parity()); !set) {
        return set;
    }
    if (auto set = set_stop_bits(settings.stop_bits()); !set) {
        return set;
    }
    return set_flow_control(settings.flow_control());
}

std::chrono::nanoseconds PosixSerialPort::wire_time(std::size_t bytes) const {
    const auto t = attributes();
    const auto baud = baud_rate();
    if (!t || !baud || *baud == 0) {
        return std::chrono::nanoseconds(0);
    }
    const auto bits = static_cast<std::uint64_t>(
        1 + (static_cast<int>(data_bits_of(*t)) + 5) + (parity_of(*t) == Parity::None ? 0 : 1) +
        (stop_bits_of(*t) == StopBits::Two ? 2 : 1));
    const double seconds = static_cast<double>(bytes * bits) / static_cast<double>(*baud);
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

IoResult<std::size_t> PosixSerialPort::read(std::span<std::uint8_t> buffer) {
    if (buffer.empty()) {
        return 0;
    }
    const auto deadline = Clock::now() + timeout_;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(io_error(errno));
        }
        if (ready == 0) {
            return std::unexpected(timed_out());
        }
        if ((p.revents & POLLNVAL) != 0) {
            return std::unexpected(IoError{IoKind::Other, "порт закрыт"});
        }
        // Data that came before a hang-up is read first.
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            return std::unexpected(disconnected());
        }
        if (errno == EAGAIN || errno == EINTR) {
            if ((p.revents & (POLLHUP | POLLERR)) != 0) {
                return std::unexpected(disconnected());
            }
            continue;
        }
        return std::unexpected(io_error(errno));
    }
}

IoResult<void> PosixSerialPort::write_all(std::span<const std::uint8_t> bytes) {
    auto last_progress = Clock::now();
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            last_progress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return std::unexpected(io_error(errno));
        }
        // The device's buffer is full: wait for room, but not for ever.
        const auto give_up = last_progress + timeout_ + wire_time(bytes.size());
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now());
        if (left.count() <= 0) {
            return std::unexpected(timed_out());
        }
        pollfd p{fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            return std::unexpected(io_error(errno));
        }
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return std::unexpected(disconnected());
        }
    }
    return {};
}

}  // namespace

SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings) {
    if (settings.baud_rate() == 0) {
        return std::unexpected(zero_baud());
    }
    const int fd = ::open(settings.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::unexpected(serial_error(errno));
    }
    if (::isatty(fd) == 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected(SerialError{ErrorKind::NoDevice, IoKind::Other,
                                           "не последовательный порт (" + os_text(err) + ")"});
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return std::unexpected(
            serial_error(err, "порт занят другой программой (" + os_text(err) + ")"));
    }
    // TIOCEXCL: further opens by anyone but root fail with EBUSY (tty_ioctl(4)).
    const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (held < 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        const int err = errno;
        if (held >= 0) {
            ::close(held);
        }
        ::close(fd);
        return std::unexpected(serial_error(err));
    }
    auto exclusive = std::shared_ptr<ExclusiveUse>(new ExclusiveUse{held});
    auto port =
        std::make_unique<PosixSerialPort>(fd, settings.path(), settings.timeout(), std::move(exclusive));
    if (auto applied = port->apply(settings); !applied) {
        return std::unexpected(applied.error());
    }
    return port;
}

}  // namespace portavik
