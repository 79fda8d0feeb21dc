// SPDX-License-Identifier: MIT

// The serial backends on real pseudo-terminal pairs. On Linux the master
// side reads the slave's termios (tty_ioctl: termios ioctls on a master act on
// its slave), so what the port set is checked from the other end.
//
// Each TEST_P runs against this build's own POSIX backend and, where
// PORTAVIK_SERIAL_AGENT names the Windows build's serial_agent.exe, against
// the Windows backend under wine, the pseudo-terminal's slave mapped as a COM
// port (scripts/wine-run). The TESTs are about the POSIX backend alone.

#include <gtest/gtest.h>

#if defined(__linux__)
// termios2 gives the exact rate; glibc's <termios.h> must stay out of this file.
#include <asm/ioctls.h>
#include <asm/termbits.h>
extern "C" int ioctl(int, unsigned long, ...);
#else
#include <sys/ioctl.h>
#include <termios.h>
#endif

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "serial/natural_order.hpp"
#include "serial/serial_port.hpp"
#include "support/agent_port.hpp"

namespace portavik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Prints a measured figure and keeps it in the test's XML record.
void report(const std::string& key, double value_ms) {
    std::cout << "[measured] " << key << ": " << value_ms << " ms" << std::endl;
    ::testing::Test::RecordProperty(key, std::to_string(value_ms));
}

// What the master end sees of the line.
struct MasterView {
    std::uint32_t ispeed = 0;
    std::uint32_t ospeed = 0;
    unsigned long iflag = 0;
    unsigned long oflag = 0;
    unsigned long cflag = 0;
    unsigned long lflag = 0;
};

MasterView master_view(int master) {
    MasterView view;
#if defined(__linux__)
    termios2 attrs{};
    if (ioctl(master, TCGETS2, &attrs) != 0) {
        throw std::runtime_error(std::string("TCGETS2: ") + std::strerror(errno));
    }
#else
    termios attrs{};
    if (tcgetattr(master, &attrs) != 0) {
        throw std::runtime_error(std::string("tcgetattr: ") + std::strerror(errno));
    }
#endif
    view.ispeed = static_cast<std::uint32_t>(attrs.c_ispeed);
    view.ospeed = static_cast<std::uint32_t>(attrs.c_ospeed);
    view.iflag = attrs.c_iflag;
    view.oflag = attrs.c_oflag;
    view.cflag = attrs.c_cflag;
    view.lflag = attrs.c_lflag;
    return view;
}

// A pseudo-terminal pair (what openpty(3) does, spelled out so that glibc's
// <termios.h> stays out). The test keeps a slave descriptor of its own, as
// openpty does.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            throw std::runtime_error(std::string("pty: ") + std::strerror(errno));
        }
        char name[128] = {};
        if (::ptsname_r(master, name, sizeof name) != 0) {
            throw std::runtime_error("ptsname_r failed");
        }
        path = name;
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            throw std::runtime_error(std::string("open slave: ") + std::strerror(errno));
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() {
        close_master();
        if (slave >= 0) {
            ::close(slave);
        }
    }

    void close_master() {
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }

    void send(const Bytes& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw std::runtime_error(std::string("master write: ") + std::strerror(errno));
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads from the master until `count` bytes came, the line has been quiet
    // for `quiet`, or it closed.
    Bytes receive(std::size_t count, std::chrono::milliseconds quiet,
                  std::chrono::microseconds pause = 0us) const {
        Bytes out;
        std::uint8_t chunk[4096];
        while (out.size() < count) {
            pollfd request{master, POLLIN, 0};
            const int ready = ::poll(&request, 1, static_cast<int>(quiet.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                break;
            }
            const std::size_t want = std::min(sizeof chunk, count - out.size());
            const ssize_t n = ::read(master, chunk, want);
            if (n <= 0) {
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
                break;
            }
            out.insert(out.end(), chunk, chunk + n);
            if (pause > 0us) {
                std::this_thread::sleep_for(pause);
            }
        }
        return out;
    }
};

// The port an open gave, or a test failure that says why there is none.
std::unique_ptr<SerialPort> or_fail(SerialResult<std::unique_ptr<SerialPort>> opened,
                                    const PortSettings& settings) {
    if (!opened) {
        throw std::runtime_error("open_port(" + settings.path() +
                                 ") failed: " + debug_form(opened.error()));
    }
    return std::move(*opened);
}

std::unique_ptr<SerialPort> open_or_fail(const PortSettings& settings) {
    return or_fail(open_port(settings), settings);
}

PortSettings settings_for(const Pty& pty, std::uint32_t baud = 19200) {
    return PortSettings(pty.path, baud).timeout(50ms);
}

// Bytes with every value, in an order that shows loss, repetition and reordering.
Bytes pattern(std::size_t size, std::uint32_t seed) {
    Bytes out(size);
    std::uint32_t state = seed;
    for (auto& byte : out) {
        state = state * 1664525U + 1013904223U;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
}

// Letters only: no XON/XOFF (0x11/0x13), which a line with IXON would consume.
Bytes letters(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>('A' + (i * 7 + i / 26) % 26);
    }
    return out;
}

// --- Backends ----------------------------------------------------------------

class Backend {
  public:
    virtual ~Backend() = default;
    // The name under which the backend reaches `pty`'s slave.
    virtual std::string port_for(const Pty& pty) = 0;
    virtual SerialResult<std::unique_ptr<SerialPort>> open(const PortSettings& settings) = 0;
    virtual SerialResult<PortList> list() = 0;
    // Gives up what port_for took, after each test.
    virtual void release_ports() {}
    // Any rate reaches the device exactly (wine runs rates outside the Linux
    // speed table at 38400).
    virtual bool exact_rates() const = 0;
    virtual bool is_posix() const = 0;
};

class PosixBackend final : public Backend {
  public:
    std::string port_for(const Pty& pty) override { return pty.path; }
    SerialResult<std::unique_ptr<SerialPort>> open(const PortSettings& settings) override {
        return portavik::open_port(settings);
    }
    SerialResult<PortList> list() override { return portavik::list_ports(); }
    bool exact_rates() const override { return true; }
    bool is_posix() const override { return true; }
};

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The Windows backend in serial_agent.exe under wine. scripts/wine-run maps
// COM96 to COM103 to links in $WINEPREFIX/portavik-ports; a test holds the
// ports it points there through lock files shared with the end-to-end tests.
class WindowsBackend final : public Backend {
  public:
    static constexpr int kFirstPort = 96;
    static constexpr int kLastPort = 103;

    explicit WindowsBackend(const std::string& agent)
        : ports_dir_(env_or("WINEPREFIX", PORTAVIK_SOURCE_DIR "/build-mingw/wine") +
                     "/portavik-ports"),
          client_({prepared_wine_run(), agent}) {}

    std::string port_for(const Pty& pty) override {
        if (const auto known = mapped_.find(pty.path); known != mapped_.end()) {
            return known->second.name;
        }
        for (int number = kFirstPort; number <= kLastPort; ++number) {
            const std::string stem = ports_dir_ + "/com" + std::to_string(number);
            const int lock = ::open((stem + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (lock < 0) {
                throw std::runtime_error(stem + ".lock: " + std::strerror(errno));
            }
            if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
                ::close(lock);
                continue;
            }
            ::unlink(stem.c_str());
            if (::symlink(pty.path.c_str(), stem.c_str()) != 0) {
                ::close(lock);
                throw std::runtime_error("symlink " + stem + ": " + std::strerror(errno));
            }
            const std::string name = "COM" + std::to_string(number);
            mapped_[pty.path] = Mapping{name, stem, lock};
            return name;
        }
        throw std::runtime_error("every mapped COM port is in use");
    }

    SerialResult<std::unique_ptr<SerialPort>> open(const PortSettings& settings) override {
        return client_.open_port(settings);
    }
    SerialResult<PortList> list() override { return client_.list_ports(); }

    void release_ports() override {
        for (const auto& [path, mapping] : mapped_) {
            ::unlink(mapping.link.c_str());
            ::close(mapping.lock);
        }
        mapped_.clear();
    }

    bool exact_rates() const override { return false; }
    bool is_posix() const override { return false; }

  private:
    struct Mapping {
        std::string name;
        std::string link;
        int lock;
    };

    // scripts/wine-run, after it has made the prefix and its port map.
    static std::string prepared_wine_run() {
        const std::string wine_run =
            env_or("PORTAVIK_WINE_RUN", PORTAVIK_SOURCE_DIR "/scripts/wine-run");
        if (std::system(wine_run.c_str()) != 0) {
            throw std::runtime_error(wine_run + " could not make the wine prefix");
        }
        return wine_run;
    }

    std::string ports_dir_;
    agent::AgentClient client_;
    std::map<std::string, Mapping> mapped_;
};

Backend& backend_named(const std::string& name) {
    if (name == "windows") {
        static WindowsBackend windows(std::getenv("PORTAVIK_SERIAL_AGENT"));
        return windows;
    }
    static PosixBackend posix;
    return posix;
}

std::vector<std::string> windows_if_built() {
    const char* agent = std::getenv("PORTAVIK_SERIAL_AGENT");
    if (agent == nullptr || *agent == '\0') {
        return {};
    }
    return {"windows"};
}

// The test's backend, with the helpers every test uses going through it.
class SerialBackendTest : public ::testing::TestWithParam<std::string> {
  protected:
    Backend& backend() { return backend_named(GetParam()); }
    void TearDown() override { backend().release_ports(); }

    SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings) {
        return backend().open(settings);
    }
    std::unique_ptr<SerialPort> open_or_fail(const PortSettings& settings) {
        return or_fail(open_port(settings), settings);
    }
    PortSettings settings_for(const Pty& pty, std::uint32_t baud = 19200) {
        return PortSettings(backend().port_for(pty), baud).timeout(50ms);
    }
    SerialResult<PortList> list_ports() { return backend().list(); }
};

using SerialSettings = SerialBackendTest;
using SerialOpen = SerialBackendTest;
using SerialRead = SerialBackendTest;
using SerialWrite = SerialBackendTest;
using SerialClone = SerialBackendTest;
using SerialWindowsList = SerialBackendTest;

#define PORTAVIK_ON_EVERY_BACKEND(suite)                                             \
    INSTANTIATE_TEST_SUITE_P(Posix, suite, ::testing::Values(std::string("posix"))); \
    INSTANTIATE_TEST_SUITE_P(Windows, suite, ::testing::ValuesIn(windows_if_built()))

PORTAVIK_ON_EVERY_BACKEND(SerialSettings);
PORTAVIK_ON_EVERY_BACKEND(SerialOpen);
PORTAVIK_ON_EVERY_BACKEND(SerialRead);
PORTAVIK_ON_EVERY_BACKEND(SerialWrite);
PORTAVIK_ON_EVERY_BACKEND(SerialClone);
INSTANTIATE_TEST_SUITE_P(Windows, SerialWindowsList, ::testing::ValuesIn(windows_if_built()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SerialWindowsList);

// ---------------------------------------------------------------------------

TEST_P(SerialSettings, BaudStopBitsAndFlowControlLandOnTheDevice) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty, 19200));

    MasterView line = master_view(pty.master);
    EXPECT_EQ(line.ospeed, 19200U);
    EXPECT_EQ(line.ispeed, 19200U);
    EXPECT_EQ(line.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U) << "not raw";
    EXPECT_EQ(line.oflag & OPOST, 0U) << "output still processed";
    EXPECT_EQ(line.iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0U);
    EXPECT_EQ(line.cflag & (CREAD | CLOCAL), static_cast<unsigned long>(CREAD | CLOCAL));
    EXPECT_EQ(port->baud_rate(), 19200U);
    EXPECT_EQ(port->name(), backend().port_for(pty));
    EXPECT_EQ(port->timeout(), 50ms);

    // Rates outside the speed table where the backend reaches them exactly,
    // others of the table where not.
    const std::vector<std::uint32_t> rates = backend().exact_rates()
                                                 ? std::vector<std::uint32_t>{250000, 123456}
                                                 : std::vector<std::uint32_t>{230400, 57600};
    for (const std::uint32_t rate : rates) {
        ASSERT_TRUE(port->set_baud_rate(rate)) << rate;
        line = master_view(pty.master);
        EXPECT_EQ(line.ospeed, rate);
        EXPECT_EQ(line.ispeed, rate);
#if defined(__linux__)
        if (backend().exact_rates()) {
            EXPECT_EQ(line.cflag & CBAUD, static_cast<unsigned long>(BOTHER));
        }
#endif
        EXPECT_EQ(port->baud_rate(), rate);
    }
    const std::uint32_t last_rate = rates.back();

    // Other setters must keep the rate in force.
    ASSERT_TRUE(port->set_stop_bits(StopBits::Two));
    line = master_view(pty.master);
    EXPECT_NE(line.cflag & CSTOPB, 0U);
    EXPECT_EQ(line.ospeed, last_rate);
    EXPECT_EQ(port->stop_bits(), StopBits::Two);
    EXPECT_EQ(port->baud_rate(), last_rate);

    ASSERT_TRUE(port->set_flow_control(FlowControl::Software));
    line = master_view(pty.master);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), static_cast<unsigned long>(IXON | IXOFF));
    EXPECT_EQ(line.cflag & CRTSCTS, 0U);
    EXPECT_EQ(port->flow_control(), FlowControl::Software);

    ASSERT_TRUE(port->set_flow_control(FlowControl::Hardware));
    line = master_view(pty.master);
    EXPECT_NE(line.cflag & CRTSCTS, 0U);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), 0U);
    EXPECT_EQ(port->flow_control(), FlowControl::Hardware);

    ASSERT_TRUE(port->set_flow_control(FlowControl::None));
    ASSERT_TRUE(port->set_stop_bits(StopBits::One));
    line = master_view(pty.master);
    EXPECT_EQ(line.cflag & CRTSCTS, 0U);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), 0U);
    EXPECT_EQ(line.cflag & CSTOPB, 0U);
    EXPECT_EQ(port->flow_control(), FlowControl::None);
    EXPECT_EQ(port->stop_bits(), StopBits::One);
    EXPECT_EQ(line.ospeed, last_rate);

    if (!backend().exact_rates()) {
        // A rate the driver does not keep (wine runs it at 38400) is an
        // error that names both.
        const auto refused = port->set_baud_rate(250000);
        ASSERT_FALSE(refused) << "250000 bd claimed while the line runs at "
                              << master_view(pty.master).ospeed;
        EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
        EXPECT_NE(refused.error().description.find("250000"), std::string::npos)
            << refused.error().description;
        EXPECT_NE(refused.error().description.find(std::to_string(master_view(pty.master).ospeed)),
                  std::string::npos)
            << refused.error().description;
    }

    // Back to a standard rate: both directions follow, no exact rate left over.
    ASSERT_TRUE(port->set_baud_rate(9600));
    line = master_view(pty.master);
    EXPECT_EQ(line.ospeed, 9600U);
    EXPECT_EQ(line.ispeed, 9600U);
#if defined(__linux__)
    EXPECT_EQ(line.cflag & CBAUD, static_cast<unsigned long>(B9600));
#endif
    EXPECT_EQ(port->baud_rate(), 9600U);
}

TEST_P(SerialSettings, OpeningAppliesACustomRateAndTheOtherSettings) {
    Pty pty;
    const std::uint32_t rate = backend().exact_rates() ? 250000 : 230400;
    auto port = open_or_fail(
        settings_for(pty, rate).stop_bits(StopBits::Two).flow_control(FlowControl::Hardware));
    const MasterView line = master_view(pty.master);
    EXPECT_EQ(line.ospeed, rate);
    EXPECT_NE(line.cflag & CSTOPB, 0U);
    EXPECT_NE(line.cflag & CRTSCTS, 0U);
    EXPECT_EQ(port->baud_rate(), rate);
    EXPECT_EQ(port->stop_bits(), StopBits::Two);
    EXPECT_EQ(port->flow_control(), FlowControl::Hardware);
}

TEST_P(SerialSettings, DataBitsAndParityThePtyRefusesAreErrors) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty));

    const auto seven = port->set_data_bits(DataBits::Seven);
    ASSERT_FALSE(seven);
    EXPECT_EQ(seven.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(seven.error().description.find("7 бит данных"), std::string::npos)
        << seven.error().description;
    EXPECT_NE(seven.error().description.find("действует 8"), std::string::npos)
        << seven.error().description;
    EXPECT_EQ(port->data_bits(), DataBits::Eight);
    EXPECT_EQ(master_view(pty.master).cflag & CSIZE, static_cast<unsigned long>(CS8));

    for (const Parity parity : {Parity::Even, Parity::Odd}) {
        const auto refused = port->set_parity(parity);
        ASSERT_FALSE(refused) << value_name(parity);
        EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
        EXPECT_FALSE(refused.error().description.empty());
        EXPECT_EQ(port->parity(), Parity::None);
        EXPECT_EQ(master_view(pty.master).cflag & PARENB, 0U);
    }

    // What the device keeps is no error.
    for (const auto& kept :
         {port->set_data_bits(DataBits::Eight), port->set_parity(Parity::None)}) {
        EXPECT_TRUE(kept) << debug_form(kept.error());
    }

    // Opening checks the same way, and a refused open leaves the port free.
    port.reset();
    const auto refused_open = open_port(settings_for(pty).data_bits(DataBits::Seven));
    ASSERT_FALSE(refused_open);
    EXPECT_NE(refused_open.error().description.find("7 бит данных"), std::string::npos)
        << refused_open.error().description;
    EXPECT_TRUE(open_port(settings_for(pty))) << "lock or exclusivity left behind";
}

TEST_P(SerialOpen, BaudZeroAndBadPathsAreRefused) {
    Pty pty;
    const auto at_zero = open_port(settings_for(pty, 0));
    ASSERT_FALSE(at_zero);
    EXPECT_EQ(at_zero.error().kind, ErrorKind::InvalidInput);
    EXPECT_FALSE(at_zero.error().description.empty());

    auto port = open_or_fail(settings_for(pty, 19200));
    const auto set_zero = port->set_baud_rate(0);
    ASSERT_FALSE(set_zero);
    EXPECT_EQ(set_zero.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(master_view(pty.master).ospeed, 19200U) << "baud 0 reached the line";
    EXPECT_EQ(port->baud_rate(), 19200U);

    struct Refusal {
        std::string path;
        std::string_view description;
    };
    const auto check = [this](const Refusal& refusal) {
        const auto opened = open_port(PortSettings(refusal.path, 19200));
        ASSERT_FALSE(opened) << refusal.path << " opened as a serial port";
        EXPECT_TRUE(opened.error().description.starts_with(refusal.description))
            << refusal.path << ": " << opened.error().description;
    };
    if (!backend().is_posix()) {
        // No COM250 is mapped; NUL opens but is no serial line.
        check({"COM250", "устройство не найдено ("});
        check({"NUL", "это не последовательный порт ("});
        EXPECT_EQ(open_port(PortSettings("COM250", 19200)).error().io_kind, IoKind::NotFound);
        return;
    }

    // Opened but not a serial line: refused before anything on it changes.
    const std::string link = "/tmp/portavik-own-" + std::to_string(::getpid());
    const Refusal refusals[] = {
        {"/dev/ttyPvkMissing_" + std::to_string(::getpid()), "устройство не найдено ("},
        {"/dev/null", "это не последовательный порт ("},
        {"/dev/ptmx", "это не последовательный порт (ведущая сторона псевдотерминала)"},
        {"/dev/pts/ptmx", "это не последовательный порт (ведущая сторона псевдотерминала)"},
        // The pty below stands in for the program's own terminal.
        {link, "это не последовательный порт (терминал, в котором работает сама программа)"},
    };
    Pty own;
    ASSERT_EQ(::symlink(own.path.c_str(), link.c_str()), 0);
    const int saved_stdin = ::dup(STDIN_FILENO);
    ASSERT_GE(saved_stdin, 0);
    ASSERT_GE(::dup2(own.slave, STDIN_FILENO), 0);
    const MasterView own_before = master_view(own.master);
    for (const Refusal& refusal : refusals) {
        if (refusal.path == "/dev/pts/ptmx" && ::access("/dev/pts/ptmx", R_OK | W_OK) != 0) {
            continue;
        }
        check(refusal);
    }
    const MasterView own_after = master_view(own.master);
    ::dup2(saved_stdin, STDIN_FILENO);
    ::close(saved_stdin);
    ::unlink(link.c_str());
    EXPECT_EQ(own_after.lflag, own_before.lflag) << "the own terminal was changed";
    EXPECT_EQ(own_after.iflag, own_before.iflag) << "the own terminal was changed";
    EXPECT_EQ(open_port(PortSettings(refusals[0].path, 19200)).error().io_kind, IoKind::NotFound);
}

// ---------------------------------------------------------------------------

TEST_P(SerialRead, ReturnsAsSoonAsAByteArrives) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty).timeout(1000ms));
    std::thread sender([&] {
        std::this_thread::sleep_for(10ms);
        pty.send({'x'});
    });
    std::uint8_t buffer[64];
    const auto start = Clock::now();
    const auto got = port->read(buffer);
    const double elapsed = ms_since(start);
    sender.join();
    report("read_latency_byte_after_10ms_timeout_1000ms", elapsed);
    ASSERT_TRUE(got) << got.error().message;
    ASSERT_EQ(*got, 1U);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_LT(elapsed, 500.0);
}

TEST_P(SerialRead, TimesOutAfterTheTimeoutWhenNothingComes) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty).timeout(50ms));
    std::uint8_t buffer[64];
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        const auto got = port->read(buffer);
        const double elapsed = ms_since(start);
        report("read_timeout_50ms_round_" + std::to_string(round), elapsed);
        ASSERT_FALSE(got) << "read " << *got << " bytes from a silent line";
        EXPECT_EQ(got.error().kind, IoKind::TimedOut);
        EXPECT_FALSE(got.error().message.empty());
        EXPECT_GE(elapsed, 45.0);
        EXPECT_LT(elapsed, 2000.0);
    }
}

TEST_P(SerialRead, CancelEndsAReadInProgressAndEveryLaterOneOnThatHandleOnly) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty).timeout(5000ms));
    auto clone = port->try_clone();
    ASSERT_TRUE(clone);
    std::uint8_t buffer[16];
    double elapsed = 0;
    IoResult<std::size_t> got = 0;
    std::thread reader([&] {
        const auto start = Clock::now();
        got = port->read(buffer);
        elapsed = ms_since(start);
    });
    std::this_thread::sleep_for(50ms);
    port->cancel_read();
    reader.join();
    report("read_cancelled_after_50ms", elapsed);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, IoKind::TimedOut);
    EXPECT_LT(elapsed, 2500.0);

    const auto start = Clock::now();
    EXPECT_FALSE(port->read(buffer));
    EXPECT_LT(ms_since(start), 2500.0) << "a later read waited out its timeout";
    // The other handle still reads.
    pty.send(Bytes{'k'});
    const auto other = (*clone)->read(buffer);
    ASSERT_TRUE(other) << other.error().message;
    EXPECT_EQ(buffer[0], 'k');
}

TEST_P(SerialRead, SmallBufferGetsAtMostItsSizeAndNothingIsLost) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty).timeout(500ms));
    const Bytes sent = pattern(37, 5);
    pty.send(sent);
    Bytes received;
    std::uint8_t buffer[4];
    while (received.size() < sent.size()) {
        const auto got = port->read(buffer);
        ASSERT_TRUE(got) << got.error().message << " after " << received.size() << " bytes";
        ASSERT_GE(*got, 1U);
        ASSERT_LE(*got, sizeof buffer);
        received.insert(received.end(), buffer, buffer + *got);
    }
    EXPECT_EQ(received, sent);
    // A pseudo-terminal counts no line errors (Linux refuses the query):
    // nothing to report.
    EXPECT_EQ(port->line_counts(), LineCounts{});
}

TEST_P(SerialRead, ClosedPeerIsAnErrorNotATimeout) {
    std::uint8_t buffer[16];
    {
        Pty pty;
        auto port = open_or_fail(settings_for(pty).timeout(3000ms));
        pty.close_master();
        const auto start = Clock::now();
        const auto got = port->read(buffer);
        const double elapsed = ms_since(start);
        report("read_after_peer_closed", elapsed);
        ASSERT_FALSE(got) << "read " << *got << " bytes from a closed peer";
        EXPECT_NE(got.error().kind, IoKind::TimedOut);
        EXPECT_NE(got.error().message.find("устройство отключено"), std::string::npos)
            << got.error().message;
        EXPECT_LT(elapsed, 1500.0);

        const Bytes some = pattern(16, 1);
        const auto written = port->write_all(some);
        ASSERT_FALSE(written) << "write to a closed peer succeeded";
        EXPECT_NE(written.error().kind, IoKind::TimedOut);
    }
    {
        Pty pty;
        auto port = open_or_fail(settings_for(pty).timeout(5000ms));
        std::thread closer([&] {
            std::this_thread::sleep_for(50ms);
            pty.close_master();
        });
        const auto start = Clock::now();
        const auto got = port->read(buffer);
        const double elapsed = ms_since(start);
        closer.join();
        report("read_waiting_when_peer_closed_after_50ms", elapsed);
        ASSERT_FALSE(got) << "read " << *got << " bytes from a closed peer";
        EXPECT_NE(got.error().kind, IoKind::TimedOut);
        EXPECT_LT(elapsed, 2500.0);
    }
}

// ---------------------------------------------------------------------------

TEST_P(SerialWrite, LargeBufferArrivesCompleteWithASlowReader) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty, 115200));
    const Bytes sent = pattern(1 << 20, 42);
    Bytes received;
    std::thread reader([&] { received = pty.receive(sent.size(), 10000ms, 1ms); });
    const auto start = Clock::now();
    const auto written = port->write_all(sent);
    report("write_all_1MiB_slow_reader", ms_since(start));
    reader.join();
    ASSERT_TRUE(written) << written.error().message;
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent) << "bytes lost, repeated or reordered";
}

TEST_P(SerialWrite, AStalledWriteFailsWithinItsBoundWhateverIsLeftToSend) {
    // At 300 baud the 64 KiB the pty cannot take need half an hour on the
    // wire; the write still gives up about a second after the last byte went.
    Pty pty;
    auto port = open_or_fail(settings_for(pty, 300));
    const Bytes sent = pattern(64 * 1024, 7);
    const auto start = Clock::now();
    const auto written = port->write_all(sent);
    const double elapsed = ms_since(start);
    ASSERT_FALSE(written) << "64 KiB vanished into a pty nobody reads";
    EXPECT_EQ(written.error().kind, IoKind::TimedOut);
    report("write_all_stalled_gave_up_after", elapsed);

    // Whatever the pty took is there once, in order; the message says how much.
    const Bytes accepted = pty.receive(sent.size(), 200ms);
    ASSERT_LT(accepted.size(), sent.size());
    EXPECT_TRUE(std::equal(accepted.begin(), accepted.end(), sent.begin()));
    EXPECT_NE(written.error().message.find(std::to_string(accepted.size()) + " из " +
                                           std::to_string(sent.size())),
              std::string::npos)
        << written.error().message;
    EXPECT_GE(elapsed, 990.0);
    EXPECT_LT(elapsed, 10000.0);

    // The port stays usable.
    std::thread reader([&] { EXPECT_EQ(pty.receive(3, 2000ms), (Bytes{1, 2, 3})); });
    EXPECT_TRUE(port->write_all(Bytes{1, 2, 3}));
    reader.join();
}

TEST_P(SerialWrite, ADeviceThatKeepsTakingBytesSlowlyIsWaitedFor) {
    // Pauses of 600 ms between the reader's gulps: longer than the port
    // timeout and the wire time of the rest, shorter than the grace second.
    Pty pty;
    auto port = open_or_fail(settings_for(pty, 4000000));
    const Bytes sent = pattern(96 * 1024, 11);
    Bytes received;
    std::thread reader([&] {
        while (received.size() < sent.size()) {
            std::this_thread::sleep_for(600ms);
            const Bytes gulp =
                pty.receive(std::min<std::size_t>(16 * 1024, sent.size() - received.size()), 100ms);
            if (gulp.empty()) {
                break;
            }
            received.insert(received.end(), gulp.begin(), gulp.end());
        }
    });
    const auto start = Clock::now();
    const auto written = port->write_all(sent);
    report("write_all_slow_gulps", ms_since(start));
    reader.join();
    ASSERT_TRUE(written) << written.error().message;
    EXPECT_TRUE(received == sent) << "bytes lost, repeated or reordered";
}

// ---------------------------------------------------------------------------

TEST_P(SerialClone, ReadsOnOneThreadWhileTheOtherWritesAndChangesSettings) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty, 115200));
    auto cloned = port->try_clone();
    ASSERT_TRUE(cloned) << debug_form(cloned.error());
    std::unique_ptr<SerialPort> clone = std::move(*cloned);
    EXPECT_EQ(clone->name(), port->name());
    EXPECT_EQ(clone->timeout(), port->timeout());

    const Bytes inbound = letters(64 * 1024);
    const Bytes outbound = pattern(64 * 1024, 99);

    Bytes clone_got;
    std::string clone_error;
    std::thread clone_reader([&] {
        std::uint8_t buffer[512];
        const auto give_up = Clock::now() + 20s;
        while (clone_got.size() < inbound.size() && Clock::now() < give_up) {
            const auto got = clone->read(buffer);
            if (got) {
                clone_got.insert(clone_got.end(), buffer, buffer + *got);
            } else if (got.error().kind != IoKind::TimedOut) {
                clone_error = got.error().message;
                return;
            }
        }
    });
    std::thread master_writer([&] {
        for (std::size_t at = 0; at < inbound.size(); at += 1024) {
            pty.send(Bytes(inbound.begin() + static_cast<std::ptrdiff_t>(at),
                           inbound.begin() + static_cast<std::ptrdiff_t>(at + 1024)));
            std::this_thread::sleep_for(200us);
        }
    });
    Bytes master_got;
    std::thread master_reader([&] { master_got = pty.receive(outbound.size(), 5000ms); });

    const std::uint32_t rates[] = {19200, backend().exact_rates() ? 250000U : 57600U, 115200};
    const FlowControl flows[] = {FlowControl::None, FlowControl::Hardware, FlowControl::Software};
    std::string main_error;
    for (std::size_t i = 0; i < outbound.size() / 1024 && main_error.empty(); ++i) {
        const auto chunk = std::span(outbound).subspan(i * 1024, 1024);
        if (auto w = port->write_all(chunk); !w) {
            main_error = "write: " + w.error().message;
        } else if (auto b = port->set_baud_rate(rates[i % 3]); !b) {
            main_error = "baud: " + debug_form(b.error());
        } else if (port->baud_rate() != rates[i % 3]) {
            main_error = "baud query after set";
        } else if (auto s = port->set_stop_bits(i % 2 ? StopBits::Two : StopBits::One); !s) {
            main_error = "stop bits: " + debug_form(s.error());
        } else if (auto f = port->set_flow_control(flows[i % 3]); !f) {
            main_error = "flow: " + debug_form(f.error());
        }
    }
    master_writer.join();
    master_reader.join();
    clone_reader.join();

    EXPECT_EQ(main_error, "");
    EXPECT_EQ(clone_error, "");
    EXPECT_EQ(clone_got.size(), inbound.size());
    EXPECT_TRUE(clone_got == inbound) << "clone lost or reordered bytes";
    EXPECT_EQ(master_got.size(), outbound.size());
    EXPECT_TRUE(master_got == outbound) << "original's writes lost or reordered";
}

// ---------------------------------------------------------------------------

#if defined(__linux__)
// TIOCGEXCL (Linux 3.8, ioctl_tty(2)): whether the slave is held exclusively.
int exclusive_flag(const Pty& pty) {
    int flag = -1;
    if (ioctl(pty.slave, TIOCGEXCL, &flag) != 0) {
        throw std::runtime_error(std::string("TIOCGEXCL: ") + std::strerror(errno));
    }
    return flag;
}
#endif

// errno of a plain open(2) by an unprivileged user, 0 when it succeeded.
int open_errno_as_nobody(const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(254);
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
            ::_exit(0);
        }
        ::_exit(errno & 0x7F);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(SerialPosixExclusive, SecondOpenFailsUntilEveryHandleIsGone) {
    Pty pty;
    auto port = open_or_fail(settings_for(pty));

    const auto second = open_port(settings_for(pty));
    ASSERT_FALSE(second) << "a second open shared the line";
    EXPECT_EQ(second.error().kind, ErrorKind::Io);
    EXPECT_EQ(second.error().io_kind, IoKind::ResourceBusy);
    EXPECT_FALSE(second.error().description.empty());

    const bool as_root = ::geteuid() == 0;
    if (as_root) {
        // Let an unprivileged user reach the node, so that only TIOCEXCL stops it.
        ASSERT_EQ(::chmod(pty.path.c_str(), 0666), 0);
        EXPECT_EQ(open_errno_as_nobody(pty.path), EBUSY);
    }
#if defined(__linux__)
    EXPECT_EQ(exclusive_flag(pty), 1);
#endif

    auto cloned = port->try_clone();
    ASSERT_TRUE(cloned);
    port.reset();
    EXPECT_FALSE(open_port(settings_for(pty))) << "opened while the clone still holds it";
#if defined(__linux__)
    EXPECT_EQ(exclusive_flag(pty), 1);
#endif

    cloned->reset();
#if defined(__linux__)
    EXPECT_EQ(exclusive_flag(pty), 0) << "TIOCEXCL left on after the last handle";
#endif
    if (as_root) {
        EXPECT_EQ(open_errno_as_nobody(pty.path), 0);
    }
    EXPECT_TRUE(open_port(settings_for(pty)));
}

#if defined(__linux__)
TEST(SerialPosixExclusive, ReleasePortsNowEndsExclusiveUseWithoutClosing) {
    // An exit that skips destructors (Ctrl+C) must not leave the line
    // exclusive for the next program.
    Pty pty;
    auto port = open_or_fail(settings_for(pty));
    ASSERT_EQ(exclusive_flag(pty), 1);
    release_ports_now();
    EXPECT_EQ(exclusive_flag(pty), 0);
    port.reset();
    // Closing afterwards is harmless, and a new open is exclusive again.
    auto again = open_or_fail(settings_for(pty));
    EXPECT_EQ(exclusive_flag(pty), 1);
}

TEST(SerialPosixExclusive, ADeadlySignalGivesUpExclusiveUseAndStillKillsWithIt) {
    // SIGINT included: without a Ctrl+C handler of the program's own, the
    // default action ends it, after exclusive use is given up.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        Pty pty;
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit no_core{0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            auto port = open_port(settings_for(pty));
            const char report = port ? 'R' : 'F';
            if (::write(ready[1], &report, 1) != 1) {
                ::_exit(3);
            }
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char report = 0;
        ASSERT_EQ(::read(ready[0], &report, 1), 1);
        ::close(ready[0]);
        ASSERT_EQ(report, 'R');
        EXPECT_EQ(exclusive_flag(pty), 1);
        ::kill(child, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
        EXPECT_EQ(exclusive_flag(pty), 0) << "the line stayed exclusive after the process died";
    }
}
#endif

// ---------------------------------------------------------------------------

// Links under /dev made by a test, removed when it ends, failed or not.
class DevLinks {
  public:
    DevLinks() = default;
    DevLinks(const DevLinks&) = delete;
    DevLinks& operator=(const DevLinks&) = delete;
    ~DevLinks() {
        for (const std::string& link : links_) {
            ::unlink(link.c_str());
        }
    }

    std::string add(const std::string& name, const std::string& target) {
        std::string link = "/dev/" + name;
        ::unlink(link.c_str());
        if (::symlink(target.c_str(), link.c_str()) != 0) {
            throw std::runtime_error("symlink " + link + ": " + std::strerror(errno));
        }
        links_.push_back(link);
        return link;
    }

  private:
    std::vector<std::string> links_;
};

TEST(SerialPosixList, ListsLinksToPseudoTerminalsAsVirtualPorts) {
    Pty first;
    Pty second;
    DevLinks links;
    const std::string stem = "PvkT" + std::to_string(::getpid()) + "_";
    const std::string link10 = links.add("tty" + stem + "10", second.path);
    const std::string link2 = links.add("tty" + stem + "2", first.path);
    const std::string to_null = links.add("tty" + stem + "3", "/dev/null");
    const std::string dangling = links.add("tty" + stem + "4", "/dev/pts/999999");
    const std::string no_prefix = links.add(stem + "5", first.path);

    const auto listed = list_ports();
    ASSERT_TRUE(listed) << debug_form(listed.error());
    const auto find = [&](const std::string& name) {
        return std::find_if(listed->begin(), listed->end(),
                            [&](const PortInfo& info) { return info.port_name == name; });
    };
    const auto at2 = find(link2);
    const auto at10 = find(link10);
    ASSERT_NE(at2, listed->end()) << link2;
    ASSERT_NE(at10, listed->end()) << link10;
    EXPECT_LT(at2, at10) << "virtual ports not in natural order";
    EXPECT_EQ(find(to_null), listed->end()) << "link to a non-pty listed";
    EXPECT_EQ(find(dangling), listed->end()) << "dangling link listed";
    EXPECT_EQ(find(no_prefix), listed->end()) << "name without tty listed";
    EXPECT_EQ(find(first.path), listed->end()) << "pty slave listed by itself";

    // The OS's ports (devices, not links) come first, then the virtual ones
    // (links like ours, from this test or another), each group in natural order.
    const auto is_os_port = [](const PortInfo& info) {
        struct stat node {};
        return ::lstat(info.port_name.c_str(), &node) == 0 && !S_ISLNK(node.st_mode);
    };
    const auto first_virtual = std::find_if_not(listed->begin(), listed->end(), is_os_port);
    EXPECT_LE(first_virtual, at2) << "our link listed before an OS port";
    EXPECT_TRUE(std::none_of(first_virtual, listed->end(), is_os_port))
        << "an OS port listed after the virtual ones";
    const auto by_name = [](const PortInfo& a, const PortInfo& b) {
        return natural_less(a.port_name, b.port_name);
    };
    EXPECT_TRUE(std::is_sorted(listed->begin(), first_virtual, by_name));
    EXPECT_TRUE(std::is_sorted(first_virtual, listed->end(), by_name));
    for (const PortInfo& info : *listed) {
        std::cout << "[listed] " << info.port_name << std::endl;
    }

    // The listed name is what opening takes.
    auto port = open_or_fail(PortSettings(link2, 9600).timeout(50ms));
    EXPECT_EQ(port->name(), link2);
    EXPECT_TRUE(port->write_all(Bytes{'o', 'k'}));
    EXPECT_EQ(first.receive(2, 1000ms), (Bytes{'o', 'k'}));
}

TEST_P(SerialWindowsList, ListsTheMappedComPortsInNaturalOrderAsOpeningNamesThem) {
    Pty pty;
    const std::string mapped = backend().port_for(pty);
    const auto listed = list_ports();
    ASSERT_TRUE(listed) << debug_form(listed.error());
    std::vector<std::string> names;
    for (const PortInfo& info : *listed) {
        std::cout << "[listed] " << info.port_name << std::endl;
        names.push_back(info.port_name);
    }
    const auto at = [&](const std::string& name) {
        return std::find(names.begin(), names.end(), name) - names.begin();
    };
    for (int number = WindowsBackend::kFirstPort; number <= WindowsBackend::kLastPort; ++number) {
        EXPECT_LT(at("COM" + std::to_string(number)), std::ssize(names)) << number;
    }
    EXPECT_LT(at("COM99"), at("COM100")) << "COM100 sorted as text";
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), natural_less));
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "a name twice";

    // The listed name is what opening takes.
    auto port = open_or_fail(PortSettings(mapped, 9600).timeout(50ms));
    EXPECT_EQ(port->name(), mapped);
    EXPECT_TRUE(port->write_all(Bytes{'o', 'k'}));
    EXPECT_EQ(pty.receive(2, 1000ms), (Bytes{'o', 'k'}));
}

}  // namespace
}  // namespace portavik
