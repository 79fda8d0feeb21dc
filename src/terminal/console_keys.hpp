// SPDX-License-Identifier: MIT

#pragma once

// Windows console input without I/O, in neutral types so that it is tested
// everywhere: the input mode raw mode sets, and the fields of a
// KEY_EVENT_RECORD to key events.
//
// Mapping:
// - Key-up records: nothing (the console reports one for every key), except
//   the release of Alt after an Alt+numpad code, which carries the character
//   the code typed.
// - Esc, Backspace and Enter by their virtual key (wine reports Esc with no
//   character).
// - A character with Ctrl or Alt held: Other, with those modifiers. AltGr
//   (reported as Right-Alt with Left-Ctrl) types its character.
// - Tab: Other, as the POSIX decoder gives it.
// - A UTF-16 surrogate pair in two records: one Char.
// - Keys without a character: Other, except the modifier and lock keys by
//   themselves, which give nothing.

#include <atomic>
#include <cstdint>
#include <optional>

#include "terminal/terminal.hpp"

namespace portavik {

struct ConsoleKeyRecord {
    bool key_down = true;
    std::uint16_t virtual_key = 0;
    char16_t unicode_char = 0;
    std::uint32_t control_state = 0;
};

// Values of the Windows API (WinUser.h virtual keys, wincon.h control keys).
namespace console_key {
inline constexpr std::uint16_t back = 0x08;
inline constexpr std::uint16_t tab = 0x09;
inline constexpr std::uint16_t enter = 0x0D;
inline constexpr std::uint16_t shift = 0x10;
inline constexpr std::uint16_t control = 0x11;
inline constexpr std::uint16_t menu = 0x12;  // Alt
inline constexpr std::uint16_t capital = 0x14;
inline constexpr std::uint16_t escape = 0x1B;
inline constexpr std::uint16_t left_arrow = 0x25;
inline constexpr std::uint16_t numlock = 0x90;
inline constexpr std::uint16_t scroll = 0x91;

inline constexpr std::uint32_t right_alt = 0x0001;
inline constexpr std::uint32_t left_alt = 0x0002;
inline constexpr std::uint32_t right_ctrl = 0x0004;
inline constexpr std::uint32_t left_ctrl = 0x0008;
inline constexpr std::uint32_t shift_pressed = 0x0010;

// Input mode bits (wincon.h, SetConsoleMode).
inline constexpr std::uint32_t processed_input = 0x0001;
inline constexpr std::uint32_t line_input = 0x0002;
inline constexpr std::uint32_t echo_input = 0x0004;
inline constexpr std::uint32_t virtual_terminal_input = 0x0200;
}  // namespace console_key

// The input mode of raw mode, from the mode it found (which disabling raw
// mode puts back): line input, echo and Ctrl+C processing off, so keys come
// one by one, unechoed, and Ctrl+C is a key; and virtual-terminal input off,
// which an earlier program may have left on: under it keys come as the
// characters of escape sequences with virtual key 0, and Esc, Enter and
// Backspace would be other keys here.
std::uint32_t raw_input_mode(std::uint32_t found);
// Whether a mode read back after setting raw_input_mode() is raw.
bool is_raw_input_mode(std::uint32_t mode);

// Raw mode's bookkeeping, for a restore that may come from another thread
// at any moment: the console's control handler runs on a thread of its own
// when Ctrl+Break is pressed, also while raw mode is being entered. Whatever
// the order, a restore wins: raw mode entered while it ran is undone again,
// so the console ends in the mode raw mode found. `set(mode)` puts a mode in
// force and says whether it took.
class RawModeRecord {
  public:
    // Puts `raw` in force, recording `found` for leave() and restore().
    // False when it did not take, or a restore came meanwhile.
    template <typename SetMode>
    bool enter(std::uint32_t found, std::uint32_t raw, SetMode set) {
        if (state_.load() == State::Raw) {
            return true;
        }
        // Recorded first: a restore reads it as soon as the state says Entering.
        found_.store(found);
        State expected = State::Cooked;
        if (!state_.compare_exchange_strong(expected, State::Entering)) {
            return expected == State::Raw;
        }
        const bool took = set(raw);
        expected = State::Entering;
        if (took && state_.compare_exchange_strong(expected, State::Raw)) {
            return true;
        }
        // Did not take, or a restore came while it took: the found mode again.
        set(found);
        expected = State::Entering;
        state_.compare_exchange_strong(expected, State::Cooked);
        return false;
    }

    // Puts back the found mode after raw mode; true when not in raw mode.
    template <typename SetMode>
    bool leave(SetMode set) {
        if (state_.load() != State::Raw) {
            return true;
        }
        if (!set(found_.load())) {
            return false;
        }
        State expected = State::Raw;
        state_.compare_exchange_strong(expected, State::Cooked);
        return true;
    }

    bool raw() const { return state_.load() == State::Raw; }

    // The way out: the found mode back if raw mode is entered or being entered.
    template <typename SetMode>
    void restore(SetMode set) {
        const State was = state_.exchange(State::Cooked);
        if (was != State::Cooked) {
            set(found_.load());
        }
    }

  private:
    enum class State { Cooked, Entering, Raw };
    std::atomic<State> state_{State::Cooked};
    std::atomic<std::uint32_t> found_{0};
};

class ConsoleKeyMapper {
  public:
    std::optional<KeyEvent> map(const ConsoleKeyRecord& record);

  private:
    char16_t high_surrogate_ = 0;
};

}  // namespace portavik
