// SPDX-License-Identifier: MIT

#include "stop_signals.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace portavik::device {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

std::expected<int, std::string> open_stop_signals() {
    sigset_t mask;
    ::sigemptyset(&mask);
    for (const int signo : kStopSignals) {
        // An ignored signal is dropped before it can wait in the mask.
        std::signal(signo, SIG_DFL);
        ::sigaddset(&mask, signo);
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        return std::unexpected(std::string("sigprocmask: ") + std::strerror(errno));
    }
    const int fd = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        return std::unexpected(std::string("signalfd: ") + std::strerror(errno));
    }
    return fd;
}

int take_stop_signal(int fd) {
    signalfd_siginfo info{};
    const ssize_t n = ::read(fd, &info, sizeof info);
    return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

std::string signal_name(int signo) {
    switch (signo) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "сигнал " + std::to_string(signo);
    }
}

}  // namespace portavik::device
