// SPDX-License-Identifier: MIT

#include "terminal/terminal_posix.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "base/errors.hpp"

// g++ says it builds with AddressSanitizer by __SANITIZE_ADDRESS__, clang
// by __has_feature.
#if defined(__has_feature)
#define PORTAVIK_CLANG_ASAN __has_feature(address_sanitizer)
#else
#define PORTAVIK_CLANG_ASAN 0
#endif

namespace portavik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: the machine is shared and may be slow.
constexpr auto kLongWait = 5000ms;

struct Pty {
    int master = -1;
    int slave = -1;
    Pty() {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
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
    void type(std::string_view bytes) const {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

termios attributes(int fd) {
    termios t{};
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    return t;
}

::testing::AssertionResult same_attributes(const termios& a, const termios& b) {
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag ||
        a.c_lflag != b.c_lflag || a.c_line != b.c_line ||
        std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) != 0 || cfgetispeed(&a) != cfgetispeed(&b) ||
        cfgetospeed(&a) != cfgetospeed(&b)) {
        return ::testing::AssertionFailure()
               << std::hex << "iflag " << a.c_iflag << "/" << b.c_iflag << " oflag " << a.c_oflag
               << "/" << b.c_oflag << " lflag " << a.c_lflag << "/" << b.c_lflag;
    }
    return ::testing::AssertionSuccess();
}

bool is_raw(const termios& t) {
    return (t.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

// Output readable on `fd` within `wait`.
std::string read_within(int fd, std::chrono::milliseconds wait, std::size_t want) {
    std::string out;
    const auto deadline = Clock::now() + wait;
    while (out.size() < want && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return out;
}

KeyEvent next_key(PosixTerminal& terminal) {
    auto ready = terminal.poll(kLongWait);
    if (!ready || !*ready) {
        ADD_FAILURE() << "no event within the wait";
        return KeyEvent{};
    }
    auto event = terminal.read_event();
    EXPECT_TRUE(event.has_value());
    if (!event || !event->key) {
        ADD_FAILURE() << "no key event";
        return KeyEvent{};
    }
    return *event->key;
}

TEST(PosixTerminal, TypedBytesComeBackAsKeyEvents) {
    Pty pty;
    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    const struct {
        std::string_view typed;
        KeyEvent key;
    } cases[] = {
        {"a", {KeyCode::Char, U'a'}},
        {"\x1b", {KeyCode::Esc}},
        {"\x1b[A", {KeyCode::Other}},
        {"\x1bOP", {KeyCode::Other}},
        {"\r", {KeyCode::Enter}},
        {"\x03", {KeyCode::Char, U'c', modifier::ctrl}},
        {"\x1a", {KeyCode::Char, U'z', modifier::ctrl}},  // SUSP with ISIG on
        {"\x11", {KeyCode::Char, U'q', modifier::ctrl}},  // START with IXON on
        {"\x7f", {KeyCode::Backspace}},
        {"\xd1\x8f", {KeyCode::Char, U'я'}},
    };
    for (const auto& c : cases) {
        pty.type(c.typed);
        EXPECT_EQ(next_key(terminal), c.key) << c.typed;
        // Nothing of the sequence is left for a second event.
        auto more = terminal.poll(0ms);
        ASSERT_TRUE(more.has_value());
        EXPECT_FALSE(*more) << c.typed;
    }
    // No echo of what was typed.
    EXPECT_EQ(read_within(pty.master, 200ms, 1), "");
    // Output processing stays on: "\n" still starts a line.
    ASSERT_EQ(::write(pty.slave, "x\n", 2), 2);
    EXPECT_EQ(read_within(pty.master, kLongWait, 3), "x\r\n");
    EXPECT_TRUE(terminal.disable_raw_mode());
}

TEST(PosixTerminal, RawModeTurnsOffInputProcessingAndRestoresExactly) {
    Pty pty;
    // Start from unusual settings, so that an approximate restore shows.
    termios before = attributes(pty.slave);
    before.c_iflag |= BRKINT | ISTRIP | INLCR | PARMRK | IXON | ICRNL;
    before.c_cc[VTIME] = 7;
    before.c_cc[VINTR] = 0x05;
    ASSERT_EQ(::tcsetattr(pty.slave, TCSANOW, &before), 0);
    before = attributes(pty.slave);

    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    const termios raw = attributes(pty.slave);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (IXON | ICRNL | INLCR | IGNCR | BRKINT | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(raw.c_oflag & (OPOST | ONLCR), before.c_oflag & (OPOST | ONLCR));
    EXPECT_NE(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 0);

    // Twice on and twice off are harmless.
    EXPECT_TRUE(terminal.enable_raw_mode());
    EXPECT_TRUE(same_attributes(attributes(pty.slave), raw));
    EXPECT_TRUE(terminal.disable_raw_mode());
    EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
    EXPECT_TRUE(terminal.disable_raw_mode());
    EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
}

TEST(PosixTerminal, NotATerminal) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        PosixTerminal terminal(fds[0]);
        EXPECT_FALSE(terminal.enable_raw_mode());
        try {
            RawModeGuard guard(terminal);
            ADD_FAILURE() << "no exception";
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "Failed to enable raw mode");
        }
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(PosixTerminal, PollTimesOutWhenNothingIsTyped) {
    Pty pty;
    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    for (auto timeout : {0ms, 300ms}) {
        const auto start = Clock::now();
        auto ready = terminal.poll(timeout);
        const auto elapsed = Clock::now() - start;
        ASSERT_TRUE(ready.has_value()) << ready.error();
        EXPECT_FALSE(*ready);
        EXPECT_GE(elapsed, timeout);
        EXPECT_LT(elapsed, timeout + kLongWait);
    }
}

volatile sig_atomic_t g_usr1_count = 0;
void count_usr1(int) {
    g_usr1_count = g_usr1_count + 1;
}

// Signals without SA_RESTART interrupt poll(2) with EINTR; the wait goes on.
TEST(PosixTerminal, PollWaitsOutItsTimeoutAcrossSignals) {
    struct sigaction counting {};
    struct sigaction previous {};
    counting.sa_handler = count_usr1;
    sigemptyset(&counting.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &counting, &previous), 0);
    g_usr1_count = 0;

    Pty pty;
    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    std::atomic<bool> polling{true};
    const pthread_t poller = ::pthread_self();
    std::thread interrupter([&] {
        while (polling.load()) {
            std::this_thread::sleep_for(30ms);
            ::pthread_kill(poller, SIGUSR1);
        }
    });
    const auto start = Clock::now();
    auto ready = terminal.poll(500ms);
    const auto elapsed = Clock::now() - start;
    polling.store(false);
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_TRUE(ready.has_value()) << ready.error();
    EXPECT_FALSE(*ready);
    EXPECT_GE(elapsed, 500ms);
    EXPECT_GT(g_usr1_count, 0);
}

TEST(PosixTerminal, ClosedPeerIsAnError) {
    Pty pty;
    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    pty.close_master();
    auto ready = terminal.poll(kLongWait);
    EXPECT_FALSE(ready.has_value());
    auto event = terminal.read_event();
    EXPECT_FALSE(event.has_value());
}

TEST(PosixTerminal, RestoreTerminalNowThenEnableAgain) {
    Pty pty;
    const termios before = attributes(pty.slave);
    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    ASSERT_TRUE(is_raw(attributes(pty.slave)));
    restore_terminal_now();
    EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
    restore_terminal_now();  // once restored, nothing more to do
    EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
    // The terminal was put back behind the object's back: enabling works again.
    ASSERT_TRUE(terminal.enable_raw_mode());
    EXPECT_TRUE(is_raw(attributes(pty.slave)));
    EXPECT_TRUE(terminal.disable_raw_mode());
    EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
}

void* handler_of(int sig) {
    struct sigaction current {};
    ::sigaction(sig, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<void*>(current.sa_sigaction)
                                                : reinterpret_cast<void*>(current.sa_handler);
}

TEST(PosixTerminal, SignalHandlersOnlyWhileRawAndNeverForSigint) {
    struct sigaction ignore {};
    struct sigaction previous_hup {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &previous_hup), 0);
    void* const default_term = handler_of(SIGTERM);
    void* const int_before = handler_of(SIGINT);
    void* const hup_before = handler_of(SIGHUP);

    Pty pty;
    PosixTerminal terminal(pty.slave);
    ASSERT_TRUE(terminal.enable_raw_mode());
    EXPECT_NE(handler_of(SIGTERM), default_term);
    EXPECT_EQ(handler_of(SIGINT), int_before);
    EXPECT_EQ(handler_of(SIGHUP), hup_before);  // ignored (nohup) stays ignored
    EXPECT_TRUE(terminal.disable_raw_mode());
    EXPECT_EQ(handler_of(SIGTERM), default_term);
    ::sigaction(SIGHUP, &previous_hup, nullptr);
}

std::optional<int> wait_for_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return std::nullopt;
}

enum class Fault { None, BadPage, StackOverflow };

// Recursion the optimiser cannot turn into a loop; the stack runs out long
// before `limit`.
int overflow_stack(int depth, int limit) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth == limit) {
        return 0;
    }
    return overflow_stack(depth + 1, limit) + frame[0];
}

// A child enables raw mode on the pty and reports 'R'; with a fault it then
// crashes (a page it may not touch, or a stack that runs out), else it waits
// to be killed.
pid_t start_raw_child(int slave, int report_fd, Fault fault) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    PosixTerminal terminal(slave);
    const char report = terminal.enable_raw_mode() ? 'R' : 'F';
    if (::write(report_fd, &report, 1) != 1) {
        ::_exit(3);
    }
    if (fault == Fault::BadPage) {
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile char*>(page) = 1;
    } else if (fault == Fault::StackOverflow) {
        ::_exit(overflow_stack(0, INT_MAX));
    }
    // Short sleeps, not pause(): under ThreadSanitizer a signal that comes
    // outside a blocking call waits for the next call it intercepts.
    for (;;) {
        ::usleep(1000);
    }
}

TEST(PosixTerminal, DeadlySignalsRestoreTheTerminalAndStillEndTheProcess) {
    const struct {
        int sig;
        Fault fault;
    } cases[] = {
        {SIGTERM, Fault::None},
        {SIGHUP, Fault::None},
        {SIGQUIT, Fault::None},
        {SIGABRT, Fault::None},
        {SIGUSR1, Fault::None},
        {SIGALRM, Fault::None},
#if !defined(__SANITIZE_ADDRESS__) && !PORTAVIK_CLANG_ASAN
        // AddressSanitizer handles SIGSEGV itself, before any handler of ours.
        {SIGSEGV, Fault::None},
        {SIGSEGV, Fault::BadPage},
        {SIGSEGV, Fault::StackOverflow},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << strsignal(c.sig) << " fault " << static_cast<int>(c.fault));
        Pty pty;
        const termios before = attributes(pty.slave);
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t child = start_raw_child(pty.slave, report[1], c.fault);
        ::close(report[1]);
        ASSERT_GT(child, 0);

        const std::string reported = read_within(report[0], kLongWait, 1);
        ::close(report[0]);
        EXPECT_EQ(reported, "R");
        if (c.fault == Fault::None) {
            // Checked only while the child surely waits.
            EXPECT_TRUE(is_raw(attributes(pty.slave)));
            ::kill(child, c.sig);
        }
        const auto status = wait_for_exit(child, kLongWait);
        ASSERT_TRUE(status.has_value()) << "the child did not end";
        EXPECT_TRUE(WIFSIGNALED(*status));
        EXPECT_EQ(WTERMSIG(*status), c.sig);
        EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
    }
}

TEST(RawModeGuard, RestoresThePtyWhenAScopeEndsByException) {
    Pty pty;
    const termios before = attributes(pty.slave);
    PosixTerminal terminal(pty.slave);
    try {
        RawModeGuard guard(terminal);
        ASSERT_TRUE(is_raw(attributes(pty.slave)));
        throw std::runtime_error("leaving");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(same_attributes(attributes(pty.slave), before));
}

class FakeTerminal final : public Terminal {
  public:
    bool enable_ok = true;
    bool disable_ok = true;
    int enables = 0;
    int disables = 0;
    bool enable_raw_mode() override {
        ++enables;
        return enable_ok;
    }
    bool disable_raw_mode() override {
        ++disables;
        return disable_ok;
    }
    std::expected<bool, std::string> poll(std::chrono::milliseconds) override { return false; }
    std::expected<TerminalEvent, std::string> read_event() override { return TerminalEvent{}; }
};

TEST(RawModeGuard, FatalTextsAndQuietDestructor) {
    {
        FakeTerminal fake;
        fake.enable_ok = false;
        try {
            RawModeGuard guard(fake);
            ADD_FAILURE() << "no exception";
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "Failed to enable raw mode");
        }
        EXPECT_EQ(fake.disables, 0);
    }
    {
        FakeTerminal fake;
        {
            RawModeGuard guard(fake);
            guard.disable();
            guard.disable();
        }
        EXPECT_EQ(fake.enables, 1);
        EXPECT_EQ(fake.disables, 1);
    }
    {
        FakeTerminal fake;
        fake.disable_ok = false;
        try {
            RawModeGuard guard(fake);
            guard.disable();
            ADD_FAILURE() << "no exception";
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "Failed to disable raw mode");
        }
        // The destructor tried once more, quietly.
        EXPECT_EQ(fake.disables, 2);
    }
    {
        FakeTerminal fake;
        { RawModeGuard guard(fake); }
        EXPECT_EQ(fake.disables, 1);
    }
}

}  // namespace
}  // namespace portavik
