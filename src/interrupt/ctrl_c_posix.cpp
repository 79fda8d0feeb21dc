// SPDX-License-Identifier: MIT

// SIGINT to a handler on a thread of its own: the signal handler only writes
// a byte to a self-pipe, which a detached thread waits on. The program's
// handler usually ends the process; if it returns, it runs again on the next
// interrupt.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include "interrupt/ctrl_c.hpp"

namespace portavik {
namespace {

std::atomic<bool> g_claimed{false};
std::atomic<int> g_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

void on_sigint(int) {
    const int saved_errno = errno;
    const int fd = g_write_fd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds interrupts that the thread has yet to
        // serve; dropping this one loses nothing the handler would not do.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved_errno;
}

void serve_interrupts(int read_fd, std::function<void()> handler) {
    char bytes[64];
    for (;;) {
        const ssize_t n = ::read(read_fd, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the write end is closed: installation failed
        }
        for (ssize_t i = 0; i < n; ++i) {
            handler();
        }
    }
    ::close(read_fd);
}

}  // namespace

bool set_ctrl_c_handler(std::function<void()> handler) {
    if (!handler) {
        return false;
    }
    bool expected = false;
    if (!g_claimed.compare_exchange_strong(expected, true)) {
        return false;
    }
    // pipe + fcntl rather than pipe2, which macOS lacks. Only the signal
    // handler's end is non-blocking: it must never block; the thread waits.
    int fds[2];
    if (::pipe(fds) != 0) {
        g_claimed.store(false);
        return false;
    }
    const int write_flags = ::fcntl(fds[1], F_GETFL);
    if (::fcntl(fds[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fds[1], F_SETFD, FD_CLOEXEC) != 0 ||
        write_flags < 0 || ::fcntl(fds[1], F_SETFL, write_flags | O_NONBLOCK) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        g_claimed.store(false);
        return false;
    }
    try {
        std::thread(serve_interrupts, fds[0], std::move(handler)).detach();
    } catch (const std::system_error&) {
        ::close(fds[0]);
        ::close(fds[1]);
        g_claimed.store(false);
        return false;
    }
    g_write_fd.store(fds[1]);

    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0) {
        g_write_fd.store(-1);
        ::close(fds[1]);  // the thread sees the end of the pipe and closes its side
        g_claimed.store(false);
        return false;
    }
    return true;
}

}  // namespace portavik
