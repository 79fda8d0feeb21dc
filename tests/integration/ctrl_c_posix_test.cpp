// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "interrupt/ctrl_c.hpp"

namespace portavik {
namespace {

using namespace std::chrono_literals;

// Bytes the child writes until it ends, or whatever came within `limit`.
std::string read_until_end(int fd, std::chrono::milliseconds limit) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) {
            continue;
        }
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::atomic<int> g_runs{0};

void wait_for_runs(int runs) {
    for (int i = 0; i < 1000 && g_runs.load() < runs; ++i) {
        std::this_thread::sleep_for(10ms);
    }
}

// In a child process, so that the process-wide handler does not outlive the
// test. The child reports: the result of installing an empty handler, the
// real one and a second one; then, per interrupt, 'T' when the handler ran on
// a thread other than the raising one and outside the SIGINT handler (where
// SIGINT would be blocked), 'S' otherwise.
[[noreturn]] void child(int out) {
    const pthread_t raiser = ::pthread_self();
    auto report = [out](char c) {
        if (::write(out, &c, 1) != 1) {
            ::_exit(3);
        }
    };
    report(set_ctrl_c_handler({}) ? '1' : '0');
    auto mark_thread = [out, raiser] {
        sigset_t blocked;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        const bool elsewhere =
            !::pthread_equal(::pthread_self(), raiser) && !sigismember(&blocked, SIGINT);
        const char mark = elsewhere ? 'T' : 'S';
        [[maybe_unused]] const ssize_t written = ::write(out, &mark, 1);
        g_runs.fetch_add(1);
    };
    report(set_ctrl_c_handler(mark_thread) ? '1' : '0');
    report(set_ctrl_c_handler([] {}) ? '1' : '0');
    // One at a time: two pending SIGINTs may merge into one.
    for (int i = 1; i <= 2; ++i) {
        ::kill(::getpid(), SIGINT);
        wait_for_runs(i);
    }
    ::_exit(g_runs.load() == 2 ? 0 : 1);
}

TEST(CtrlCHandler, RunsOnItsOwnThreadForEveryInterruptAndOnlyOnce) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        child(fds[1]);
    }
    ::close(fds[1]);
    const std::string reported = read_until_end(fds[0], 20000ms);
    ::close(fds[0]);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!ended) {
            std::this_thread::sleep_for(10ms);
        }
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    EXPECT_EQ(reported, "010TT");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace portavik
