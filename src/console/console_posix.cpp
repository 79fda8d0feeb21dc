// SPDX-License-Identifier: MIT

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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

class FdSink final : public ByteSink {
  public:
    explicit FdSink(int fd) : fd_(fd) {}
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
        return new FdSink(STDOUT_FILENO);
    }();
    return *sink;
}

ByteSink& standard_error() {
    static FdSink* const sink = new FdSink(STDERR_FILENO);
    return *sink;
}

std::function<void()> standard_clear_action() {
    return {};
}

// A terminal's output needs no mode of its own.
void restore_console_now() {}

}  // namespace portavik
