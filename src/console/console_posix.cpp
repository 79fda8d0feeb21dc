// SPDX-License-Identifier: MIT

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string>

#include "console/console.hpp"

namespace portavik {

namespace {

// A stream that a parent left non-blocking reports EAGAIN: wait for it
// instead of taking it for a failure.
bool wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, -1) >= 0 || errno == EINTR;
}

class FdSource final : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    SourceRead read(std::span<char> buffer) override {
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n >= 0) {
                return {static_cast<std::size_t>(n), false};
            }
            if (errno == EAGAIN && wait_for(fd_, POLLIN)) {
                continue;
            }
            if (errno != EINTR) {
                return {0, true};
            }
        }
    }

  private:
    int fd_;
};

// A descriptor of its own, non-blocking, for what `fd` writes to: a
// terminal opened again by name, a pipe through /proc (Linux), a regular
// file as it is (it never makes a writer wait). O_NONBLOCK belongs to an
// open file, and the one behind `fd` is shared with the shell and every
// other program on the terminal: it stays as it is. -1 where there is no
// such way.
int nonblocking_copy(int fd) {
    struct stat given {};
    if (::fstat(fd, &given) != 0) {
        return -1;
    }
    if (S_ISREG(given.st_mode)) {
        return fd;
    }
    std::string path;
    if (S_ISCHR(given.st_mode)) {
        std::array<char, 256> name{};
        if (::ttyname_r(fd, name.data(), name.size()) != 0) {
            return -1;
        }
        path = name.data();
    } else if (S_ISFIFO(given.st_mode)) {
        path = "/proc/self/fd/" + std::to_string(fd);
    } else {
        return -1;
    }
    const int copy = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (copy < 0) {
        return -1;
    }
    struct stat opened {};
    if (::fstat(copy, &opened) != 0 || opened.st_dev != given.st_dev ||
        opened.st_ino != given.st_ino || opened.st_rdev != given.st_rdev) {
        ::close(copy);
        return -1;
    }
    return copy;
}

class FdSink final : public ByteSink {
  public:
    // `at_once`: write_now() takes what the stream has room for, through a
    // non-blocking copy of `fd`; without it, nothing.
    FdSink(int fd, bool at_once) : fd_(fd), now_fd_(at_once ? nonblocking_copy(fd) : -1) {}
    std::size_t write_now(std::string_view bytes) override {
        for (;;) {
            const ssize_t n = now_fd_ < 0 ? 0 : ::write(now_fd_, bytes.data(), bytes.size());
            if (n >= 0) {
                // A short write: the stream is full now, and asking again
                // would only be told so (EAGAIN).
                return static_cast<std::size_t>(n);
            }
            if (errno != EINTR) {
                return 0;  // full (EAGAIN), or a failure that write() reports
            }
        }
    }
    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR || (errno == EAGAIN && wait_for(fd_, POLLOUT))) {
                    continue;
                }
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

  private:
    int fd_;
    int now_fd_;
};

}  // namespace

ByteSource& standard_input() {
    static FdSource* const source = new FdSource(STDIN_FILENO);
    return *source;
}

ByteSink& standard_output() {
    // A closed reader of standard output is an error to report, not a
    // silent kill by SIGPIPE.
    static FdSink* const sink = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return new FdSink(STDOUT_FILENO, true);
    }();
    return *sink;
}

ByteSink& standard_error() {
    static FdSink* const sink = new FdSink(STDERR_FILENO, false);
    return *sink;
}

std::function<void()> standard_clear_action() {
    return {};
}

// A terminal's output needs no mode of its own.
void restore_console_now() {}

}  // namespace portavik
