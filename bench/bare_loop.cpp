// SPDX-License-Identifier: MIT

// The floor the peer benchmark compares against: the least a terminal
// program does. It opens the port raw, prints "ready", then waits on the port
// and on standard input with a 50 ms timeout (the pace of an idle receiver),
// writes each chunk it reads as one "HEX: 41 42" line, and ends at a line
// that starts with "6" or at the end of input. Only libc is used, so the
// figures are those of a small dynamically linked C program.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace {

constexpr int kTimeoutMs = 50;
constexpr std::size_t kChunk = 1024;

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        static const char usage[] = "usage: bare_loop PORT\n";
        write_all(STDERR_FILENO, usage, sizeof usage - 1);
        return 2;
    }
    const int port = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios attrs{};
    if (port < 0 || ::tcgetattr(port, &attrs) != 0) {
        return 1;
    }
    ::cfmakeraw(&attrs);
    if (::tcsetattr(port, TCSANOW, &attrs) != 0) {
        return 1;
    }
    static const char ready[] = "ready\n";
    write_all(STDOUT_FILENO, ready, sizeof ready - 1);

    static const char digits[] = "0123456789ABCDEF";
    unsigned char in[kChunk];
    char line[sizeof "HEX: " + 3 * kChunk] = "HEX: ";
    for (;;) {
        pollfd fds[2] = {{port, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, kTimeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 1;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t got = ::read(port, in, sizeof in);
            if (got > 0) {
                char* out = line + 5;
                for (ssize_t i = 0; i < got; ++i) {
                    if (i > 0) {
                        *out++ = ' ';
                    }
                    *out++ = digits[in[i] >> 4];
                    *out++ = digits[in[i] & 0xF];
                }
                *out++ = '\n';
                if (!write_all(STDOUT_FILENO, line, static_cast<std::size_t>(out - line))) {
                    return 1;
                }
            }
        } else if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return 1;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char key[64];
            const ssize_t got = ::read(STDIN_FILENO, key, sizeof key);
            if (got <= 0 || key[0] == '6') {
                return 0;
            }
        }
    }
}
