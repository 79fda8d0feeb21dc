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

class ConsoleKeyMapper {
  public:
    std::optional<KeyEvent> map(const ConsoleKeyRecord& record);

  private:
    char16_t high_surrogate_ = 0;
};

}  // namespace portavik
