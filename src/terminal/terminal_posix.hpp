// SPDX-License-Identifier: MIT

#pragma once

// The POSIX terminal over any descriptor (standard input in the program, a
// pseudo-terminal in the tests).

#include <termios.h>

#include <chrono>
#include <optional>

#include "interrupt/deadly_signals_posix.hpp"
#include "terminal/key_decoder.hpp"
#include "terminal/terminal.hpp"

namespace portavik {

// How long poll waits for the rest of a key whose first bytes have come (a
// lone ESC, a split sequence or UTF-8 character). A terminal writes a whole
// key at once, so the rest is normally in the same read; the wait covers a
// key split by a slow link (ssh, a serial console) and stays well below the
// ~100 ms at which a delay of Esc becomes noticeable.
inline constexpr std::chrono::milliseconds kEscapeWait{50};

class PosixTerminal final : public Terminal {
  public:
    // Does not take ownership of `fd`.
    explicit PosixTerminal(int fd) : fd_(fd) {}
    PosixTerminal(const PosixTerminal&) = delete;
    PosixTerminal& operator=(const PosixTerminal&) = delete;
    ~PosixTerminal() override;

    // While raw mode is on, the first terminal to enable it also restores the
    // terminal on SIGTERM, SIGHUP, SIGQUIT and crash signals and through
    // restore_terminal_now(); a second one at the same time does not.
    bool enable_raw_mode() override;
    bool disable_raw_mode() override;
    // May return up to kEscapeWait after `timeout` when an unfinished key is
    // waiting for its rest.
    std::expected<bool, std::string> poll(std::chrono::milliseconds timeout) override;
    std::expected<TerminalEvent, std::string> read_event() override;

  private:
    using Clock = std::chrono::steady_clock;

    // Reads what is there; false with `error` set when the input is gone.
    bool read_available(bool hung_up, std::string& error);
    void release_restore_slot();

    int fd_;
    bool raw_ = false;
    bool owns_restore_slot_ = false;
    // Restores the terminal on SIGTERM, SIGHUP, crashes and the like while
    // this terminal owns the restore slot. SIGINT is not hooked: raw mode
    // turns Ctrl+C into a key, and the Ctrl+C layer owns the signal.
    std::optional<DeadlySignalScope> signal_scope_;
    termios saved_{};
    KeyDecoder decoder_;
    std::optional<KeyEvent> ready_;
    Clock::time_point last_read_{};
    std::optional<Clock::time_point> partial_since_;
};

}  // namespace portavik
