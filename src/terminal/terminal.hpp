// SPDX-License-Identifier: MIT

#pragma once

// Raw key input from the terminal of standard input.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace portavik {

enum class KeyCode { Char, Enter, Backspace, Esc, Other };
enum class KeyKind { Press, Repeat, Release };

namespace modifier {
inline constexpr unsigned none = 0;
inline constexpr unsigned shift = 1;
inline constexpr unsigned ctrl = 2;
inline constexpr unsigned alt = 4;
}  // namespace modifier

struct KeyEvent {
    KeyCode code = KeyCode::Other;
    char32_t ch = 0;  // the character, for KeyCode::Char
    unsigned modifiers = modifier::none;
    KeyKind kind = KeyKind::Press;

    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// What a terminal reports: a key, or something else (focus, resize, ...)
// that the editors drop.
struct TerminalEvent {
    std::optional<KeyEvent> key;
};

class Terminal {
  public:
    virtual ~Terminal() = default;
    virtual bool enable_raw_mode() = 0;
    virtual bool disable_raw_mode() = 0;
    // True when an event can be read without waiting.
    virtual std::expected<bool, std::string> poll(std::chrono::milliseconds timeout) = 0;
    virtual std::expected<TerminalEvent, std::string> read_event() = 0;
};

// Raw mode for a scope: on at construction ("Failed to enable raw mode" is
// fatal), off by `disable()` ("Failed to disable raw mode" is fatal), and off
// again, quietly, if the scope is left by an exception.
class RawModeGuard {
  public:
    explicit RawModeGuard(Terminal& terminal);
    RawModeGuard(const RawModeGuard&) = delete;
    RawModeGuard& operator=(const RawModeGuard&) = delete;
    ~RawModeGuard();
    void disable();

  private:
    Terminal& terminal_;
    bool on_ = true;
};

// The terminal of the process's standard input.
Terminal& standard_terminal();

// Puts the terminal back as raw mode found it, if raw mode is on. Safe to
// call from a signal handler or another thread just before the process ends.
void restore_terminal_now();

}  // namespace portavik
