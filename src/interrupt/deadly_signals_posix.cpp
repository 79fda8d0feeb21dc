// SPDX-License-Identifier: MIT

#include "interrupt/deadly_signals_posix.hpp"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>

namespace portavik {
namespace {

// Signals whose default action ends the process (signal(7)); SIGPIPE is
// ignored by the console, and SIGTRAP and SIGPROF are left to debuggers and
// profilers.
constexpr int kDeadlySignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGABRT, SIGSEGV,
                                  SIGBUS,  SIGILL,  SIGFPE,    SIGALRM, SIGUSR1, SIGUSR2,
                                  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGSYS};
constexpr std::size_t kSignalCount = std::size(kDeadlySignals);

struct Slot {
    std::atomic<DeadlySignalCleanup> cleanup{nullptr};
    int users = 0;
    int sigint_users = 0;
};
static_assert(std::atomic<DeadlySignalCleanup>::is_always_lock_free, "read in signal handlers");

constexpr std::size_t kSlots = 8;
Slot g_slots[kSlots];
std::mutex g_registration;
struct sigaction g_previous[kSignalCount];
bool g_hooked[kSignalCount] = {};

bool is_fault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE;
}

void on_deadly_signal(int sig, siginfo_t* info, void*) {
    const int saved_errno = errno;
    for (Slot& slot : g_slots) {
        if (const DeadlySignalCleanup cleanup = slot.cleanup.load(); cleanup != nullptr) {
            cleanup();
        }
    }
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (kDeadlySignals[i] == sig) {
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

bool is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_deadly_signal;
}

// A stack overflow leaves no stack for the handler: each registering thread
// gets an alternate one (sigaltstack(2)), once.
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

bool wanted(int sig) {
    for (const Slot& slot : g_slots) {
        if (slot.users > 0 && (sig != SIGINT || slot.sigint_users > 0)) {
            return true;
        }
    }
    return false;
}

// Hooks what some registration wants and is still at its default; lets go of
// what no registration wants any more, unless someone replaced our handler.
void update_hooks() {
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        const int sig = kDeadlySignals[i];
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0) {
            continue;
        }
        if (wanted(sig) && !g_hooked[i]) {
            if (!is_default(current)) {
                continue;
            }
            g_previous[i] = current;
            struct sigaction ours {};
            ours.sa_sigaction = on_deadly_signal;
            sigfillset(&ours.sa_mask);
            ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
            g_hooked[i] = ::sigaction(sig, &ours, nullptr) == 0;
        } else if (!wanted(sig) && g_hooked[i]) {
            g_hooked[i] = false;
            if (is_ours(current)) {
                ::sigaction(sig, &g_previous[i], nullptr);
            }
        }
    }
}

}  // namespace

DeadlySignalScope::DeadlySignalScope(DeadlySignalCleanup cleanup, bool with_sigint)
    : with_sigint_(with_sigint) {
    std::lock_guard lock(g_registration);
    ensure_alternate_stack();
    int free_slot = -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (g_slots[i].users > 0 && g_slots[i].cleanup.load() == cleanup) {
            slot_ = static_cast<int>(i);
            break;
        }
        if (g_slots[i].users == 0 && free_slot < 0) {
            free_slot = static_cast<int>(i);
        }
    }
    if (slot_ < 0) {
        if (free_slot < 0) {
            return;
        }
        slot_ = free_slot;
        g_slots[slot_].cleanup.store(cleanup);
    }
    Slot& slot = g_slots[slot_];
    ++slot.users;
    slot.sigint_users += with_sigint ? 1 : 0;
    update_hooks();
}

DeadlySignalScope::~DeadlySignalScope() {
    if (slot_ < 0) {
        return;
    }
    std::lock_guard lock(g_registration);
    Slot& slot = g_slots[slot_];
    --slot.users;
    slot.sigint_users -= with_sigint_ ? 1 : 0;
    // Hooks go first, so that no signal finds a hook without its cleanup.
    update_hooks();
    if (slot.users == 0) {
        slot.cleanup.store(nullptr);
    }
}

}  // namespace portavik
