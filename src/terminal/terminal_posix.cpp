// SPDX-License-Identifier: MIT

#include "terminal/terminal_posix.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/poll_timeout.hpp"

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

bool set_attributes(int fd, const termios& attributes) {
    while (::tcsetattr(fd, TCSANOW, &attributes) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
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
        signal_scope_.emplace(&restore_terminal_now, false);
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
    signal_scope_.reset();
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
        error = describe("Не удалось прочитать ввод терминала", errno);
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
            return std::unexpected(describe("Не удалось опросить терминал", errno));
        }
        if (result == 0) {
            if (!partial && Clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if ((request.revents & POLLNVAL) != 0) {
            return std::unexpected(
                std::string("Не удалось опросить терминал: дескриптор недействителен"));
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
