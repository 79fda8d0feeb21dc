// SPDX-License-Identifier: MIT

#include "terminal/console_keys.hpp"

namespace portavik {

namespace {

namespace key = console_key;

bool is_high_surrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

bool is_low_surrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

bool is_modifier_or_lock(std::uint16_t vk) {
    return vk == key::shift || vk == key::control || vk == key::menu || vk == key::capital ||
           vk == key::numlock || vk == key::scroll || (vk >= 0xA0 && vk <= 0xA5) || vk == 0x5B ||
           vk == 0x5C;  // left/right Shift, Ctrl, Alt; the Windows keys
}

unsigned modifiers_of(std::uint32_t state) {
    unsigned modifiers = modifier::none;
    if ((state & key::shift_pressed) != 0) {
        modifiers |= modifier::shift;
    }
    if ((state & (key::left_ctrl | key::right_ctrl)) != 0) {
        modifiers |= modifier::ctrl;
    }
    if ((state & (key::left_alt | key::right_alt)) != 0) {
        modifiers |= modifier::alt;
    }
    return modifiers;
}

// AltGr arrives as Right-Alt with Left-Ctrl; it types, it is no chord.
bool is_alt_gr(std::uint32_t state) {
    return (state & key::right_alt) != 0 && (state & key::left_ctrl) != 0 &&
           (state & (key::left_alt | key::right_ctrl)) == 0;
}

KeyEvent character(char32_t c, unsigned modifiers) {
    return {KeyCode::Char, c, modifiers, KeyKind::Press};
}

KeyEvent other(unsigned modifiers) {
    return {KeyCode::Other, 0, modifiers, KeyKind::Press};
}

constexpr std::uint32_t kNotRaw =
    key::line_input | key::echo_input | key::processed_input | key::virtual_terminal_input;

}  // namespace

std::uint32_t raw_input_mode(std::uint32_t found) {
    return found & ~kNotRaw;
}

bool is_raw_input_mode(std::uint32_t mode) {
    return (mode & kNotRaw) == 0;
}

std::optional<KeyEvent> ConsoleKeyMapper::map(const ConsoleKeyRecord& record) {
    const char16_t unit = record.unicode_char;
    if (!record.key_down) {
        // Alt+numpad: the character comes with the release of Alt.
        if (record.virtual_key == key::menu && unit != 0 && !is_high_surrogate(unit) &&
            !is_low_surrogate(unit)) {
            return character(unit, modifier::none);
        }
        return std::nullopt;
    }
    const unsigned modifiers = modifiers_of(record.control_state);
    const char16_t high = high_surrogate_;
    high_surrogate_ = 0;

    switch (record.virtual_key) {
        case key::escape:
            return KeyEvent{KeyCode::Esc, 0, modifiers, KeyKind::Press};
        case key::back:
            return KeyEvent{KeyCode::Backspace, 0, modifiers, KeyKind::Press};
        case key::enter:
            return KeyEvent{KeyCode::Enter, 0, modifiers, KeyKind::Press};
        case key::tab:
            return other(modifiers);
        default:
            break;
    }
    if (unit == 0) {
        if (is_modifier_or_lock(record.virtual_key)) {
            return std::nullopt;
        }
        return other(modifiers);
    }
    char32_t c = unit;
    if (is_high_surrogate(unit)) {
        high_surrogate_ = unit;
        return std::nullopt;
    }
    if (is_low_surrogate(unit)) {
        if (high == 0) {
            return other(modifiers);
        }
        c = 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) +
            (static_cast<char32_t>(unit) - 0xDC00);
    }
    if (is_alt_gr(record.control_state)) {
        return character(c, modifiers & modifier::shift);
    }
    if ((modifiers & (modifier::ctrl | modifier::alt)) != 0 || c < 0x20 || c == 0x7F) {
        return other(modifiers);
    }
    return character(c, modifiers);
}

}  // namespace portavik
