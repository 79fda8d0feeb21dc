// SPDX-License-Identifier: MIT

#pragma once

// Work that must be done however a deadly signal ends the process: the
// terminal put back as raw mode found it, a port's exclusive use given up
// (TIOCEXCL outlives the process on a pseudo-terminal its master keeps).

namespace portavik {

// Async-signal-safe and harmless to run more than once.
using DeadlySignalCleanup = void (*)();

// While an instance lives, `cleanup` runs when a deadly signal arrives, and
// the signal then ends the process with its default action, so the exit
// status a shell sees stays the same. Only signals whose action is still the
// default are hooked: one that is ignored (nohup) or handled by someone else
// (the Ctrl+C layer's SIGINT) keeps its action. SIGINT is hooked only for a
// registration that asks for it. Registrations are made and dropped on one
// thread at a time (the main thread); the same cleanup may be registered by
// several instances.
class DeadlySignalScope {
  public:
    DeadlySignalScope(DeadlySignalCleanup cleanup, bool with_sigint);
    DeadlySignalScope(const DeadlySignalScope&) = delete;
    DeadlySignalScope& operator=(const DeadlySignalScope&) = delete;
    ~DeadlySignalScope();

    // False when no slot was free: the cleanup does not run on a signal.
    bool active() const { return slot_ >= 0; }

  private:
    int slot_ = -1;
    bool with_sigint_;
};

}  // namespace portavik
