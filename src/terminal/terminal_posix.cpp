#include "terminal/terminal_posix.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <iterator>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>

#include "poll_timeout.hpp"

namespace portavik {
namespace {

// What restore_terminal_now() and the signal handlers restore. Written only
// by the owning PosixTerminal while the slot is Busy and it holds the claim;
// read by anyone who moves the slot from Active to Busy.
enum SlotState : int { kFree, kBusy, kActive, kRestored };
std::atomic<int> g_slot{kFree};
static_assert(std::atomic<int>::is_always_lock_free, "used in signal handlers");
int g_fd = -1;
termios g_saved{};

// Signals whose default action ends the process (signal(7)); SIGINT belongs
// to the Ctrl+C layer, SIGPIPE is ignored by the console, and SIGTRAP and
// SIGPROF are left to debuggers and profilers.
constexpr int kFatalSignals[] = {SIGTERM, SIGHUP,  SIGQUIT, SIGABRT,   SIGSEGV,
                                 SIGBUS,  SIGILL,  SIGFPE,  SIGALRM,   SIGUSR1,
                                 SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGSYS};
constexpr std::size_t kSignalCount = std::size(kFatalSignals);
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount] = {};

bool set_attributes(int fd, const termios& attributes) {
    while (::tcsetattr(fd, TCSANOW, &attributes) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool is_fault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE;
}

void on_fatal_signal(int sig, siginfo_t* info, void*) {
    const int saved_errno = errno;
    restore_terminal_now();
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (kFatalSignals[i] == sig) {
            ::sigaction(sig, &g_previous[i], nullptr);
        }
    }
    // A fault raised by the CPU (si_code > 0) happens again on return and
    // meets the previous action with its own siginfo; anything sent (kill,
    // raise, abort, the kernel's SIGHUP) is sent again, and stays pending
    // until this handler returns (sigaction(2): the signal is blocked here).
    if (!(is_fault(sig) && info != nullptr && info->si_code > 0)) {
        ::raise(sig);
    }
    errno = saved_errno;
}

bool is_default(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

// A stack overflow leaves no stack for the handler: the thread that turns
// raw mode on gets an alternate one (sigaltstack(2)), once.
void ensure_alternate_stack() {
    static thread_local bool done = false;
    if (done) {
        return;
    }
    done = true;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
        return;  // the thread has one already
    }
    constexpr std::size_t kSize = 64 * 1024;
    static thread_local std::unique_ptr<char[]> memory(new char[kSize]);
    stack_t ours{};
    ours.ss_sp = memory.get();
    ours.ss_size = kSize;
    ::sigaltstack(&ours, nullptr);
}

void install_handlers() {
    ensure_alternate_stack();
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        struct sigaction current {};
        g_installed[i] = false;
        // Only a signal left at its default ends the process: one that is
        // ignored (nohup) or has a handler of someone else's stays as it is.
        if (::sigaction(kFatalSignals[i], nullptr, &current) != 0 || !is_default(current)) {
            continue;
        }
        g_previous[i] = current;
        struct sigaction ours {};
        ours.sa_sigaction = on_fatal_signal;
        sigfillset(&ours.sa_mask);
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        g_installed[i] = ::sigaction(kFatalSignals[i], &ours, nullptr) == 0;
    }
}

void uninstall_handlers() {
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (!g_installed[i]) {
            continue;
        }
        g_installed[i] = false;
        struct sigaction current {};
        // Someone who replaced our handler since keeps theirs.
        if (::sigaction(kFatalSignals[i], nullptr, &current) == 0 &&
            (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_fatal_signal) {
            ::sigaction(kFatalSignals[i], &g_previous[i], nullptr);
        }
    }
}

std::string describe(std::string_view what, int error) {
    return std::string(what) + ": " + std::error_code(error, std::system_category()).message();
}

}  // namespace

void restore_terminal_now() {
    int expected = kActive;
    if (g_slot.compare_exchange_strong(expected, kBusy, std::memory_order_acquire)) {
        set_attributes(g_fd, g_saved);
        g_slot.store(kRestored, std::memory_order_release);
    }
}

Terminal& standard_terminal() {
    // Never destroyed: another thread may still use it while the process ends.
    static PosixTerminal* const terminal = new PosixTerminal(STDIN_FILENO);
    return *terminal;
}

PosixTerminal::~PosixTerminal() {
    if (!disable_raw_mode()) {
        release_restore_slot();
    }
}

bool PosixTerminal::enable_raw_mode() {
    if (raw_) {
        if (!owns_restore_slot_ || g_slot.load(std::memory_order_acquire) != kRestored) {
            return true;
        }
        // restore_terminal_now() has put the terminal back: start over.
        release_restore_slot();
        raw_ = false;
    }
    termios saved{};
    if (::isatty(fd_) != 1 || ::tcgetattr(fd_, &saved) != 0) {
        return false;
    }
    // termios(3), "Raw mode", without its output and character-size changes:
    // output processing stays on so that "\n" still starts a new line.
    const auto input_off =
        static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | PARMRK);
    const auto local_off = static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    termios raw = saved;
    raw.c_iflag &= ~input_off;
    raw.c_lflag &= ~local_off;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    saved_ = saved;
    // Claimed before the change, so that a signal can never find the
    // terminal raw with nothing to restore it.
    int expected = kFree;
    if (g_slot.compare_exchange_strong(expected, kBusy, std::memory_order_acquire)) {
        g_fd = fd_;
        g_saved = saved;
        install_handlers();
        g_slot.store(kActive, std::memory_order_release);
        owns_restore_slot_ = true;
    }

    // tcsetattr(3): success means that any of the changes was made; check.
    termios now{};
    const bool ok = set_attributes(fd_, raw) && ::tcgetattr(fd_, &now) == 0 &&
                    (now.c_iflag & input_off) == 0 && (now.c_lflag & local_off) == 0 &&
                    now.c_cc[VMIN] == 1 && now.c_cc[VTIME] == 0;
    if (!ok) {
        set_attributes(fd_, saved);
        release_restore_slot();
        return false;
    }
    decoder_.clear();
    ready_.reset();
    partial_since_.reset();
    raw_ = true;
    return true;
}

bool PosixTerminal::disable_raw_mode() {
    if (!raw_) {
        return true;
    }
    if (!set_attributes(fd_, saved_)) {
        return false;
    }
    // Only after the terminal is back, so that no signal can find it raw
    // without a handler.
    release_restore_slot();
    raw_ = false;
    // Keys read in raw mode belong to that session.
    decoder_.clear();
    ready_.reset();
    partial_since_.reset();
    return true;
}

void PosixTerminal::release_restore_slot() {
    if (!owns_restore_slot_) {
        return;
    }
    uninstall_handlers();
    for (;;) {
        int state = g_slot.load(std::memory_order_acquire);
        if (state == kBusy) {
            // restore_terminal_now() on another thread: one tcsetattr away.
            std::this_thread::yield();
            continue;
        }
        if (g_slot.compare_exchange_weak(state, kFree, std::memory_order_acq_rel)) {
            break;
        }
    }
    owns_restore_slot_ = false;
}

bool PosixTerminal::read_available(bool hung_up, std::string& error) {
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            decoder_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
            last_read_ = Clock::now();
            return true;
        }
        if (n == 0) {
            error = "Terminal input closed";
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (hung_up) {
                error = "Terminal hung up";
                return false;
            }
            return true;
        }
        error = describe("Failed to read from the terminal", errno);
        return false;
    }
}

std::expected<bool, std::string> PosixTerminal::poll(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds::zero());
    for (;;) {
        if (!ready_) {
            ready_ = decoder_.next();
        }
        if (ready_) {
            return true;
        }
        const auto now = Clock::now();
        auto until = deadline;
        const bool partial = decoder_.incomplete();
        if (partial) {
            // The wait runs from the read that brought the unfinished key and
            // is not extended by later bytes, so a trickle cannot hold poll.
            if (!partial_since_) {
                partial_since_ = last_read_;
            }
            until = *partial_since_ + kEscapeWait;
            if (now >= until) {
                decoder_.flush();
                partial_since_.reset();
                continue;
            }
        } else {
            partial_since_.reset();
        }

        pollfd request{fd_, POLLIN, 0};
        const int result = ::poll(&request, 1, poll_timeout(until - now));
        if (result < 0) {
            if (errno == EINTR) {
                continue;  // the deadline is unchanged, so the rest is waited
            }
            return std::unexpected(describe("Failed to poll the terminal", errno));
        }
        if (result == 0) {
            if (!partial && Clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if ((request.revents & POLLNVAL) != 0) {
            return std::unexpected(std::string("Failed to poll the terminal: invalid descriptor"));
        }
        std::string error;
        if (!read_available((request.revents & (POLLHUP | POLLERR)) != 0, error)) {
            return std::unexpected(error);
        }
    }
}

std::expected<TerminalEvent, std::string> PosixTerminal::read_event() {
    while (!ready_) {
        auto polled = poll(std::chrono::hours(1));
        if (!polled) {
            return std::unexpected(polled.error());
        }
    }
    const KeyEvent event = *ready_;
    ready_.reset();
    return TerminalEvent{event};
}

}  // namespace portavik
