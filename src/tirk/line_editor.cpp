// SPDX-License-Identifier: MIT

#include "tirk/line_editor.hpp"

namespace portavik::main_tirk {

namespace {

bool passes_time_rule(const EditorState& state, EditorClock::time_point now) {
    return now - state.last_key_time > kDebounceDuration;
}

bool is_hex_digit(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// At most two digits, never a two-digit value above 26.
bool two_digit_rule_allows(const std::string& line, char32_t digit) {
    if (line.empty()) {
        return true;
    }
    if (line.size() >= 2) {
        return false;
    }
    const int first = line[0] >= '0' && line[0] <= '9' ? line[0] - '0' : 0;
    const int second = static_cast<int>(digit - U'0');
    return first * 10 + second <= 26;
}

bool accepts_character(EditorKind kind, const EditorState& state, char32_t c) {
    if (kind == EditorKind::Hex) {
        return is_hex_digit(c) || c == U' ';
    }
    return c >= U'0' && c <= U'9' && two_digit_rule_allows(state.current_input, c);
}

}  // namespace

EditorAction apply_key(EditorKind kind, EditorState& state, const KeyEvent& key,
                       EditorClock::time_point now) {
    // A key's release is not a keystroke: consoles that report releases
    // would otherwise type a held key twice.
    if (key.kind == KeyKind::Release) {
        return EditorAction::None;
    }
    switch (key.code) {
        case KeyCode::Esc:
            return EditorAction::Leave;
        case KeyCode::Enter:
            return state.current_input.empty() ? EditorAction::None : EditorAction::Submit;
        case KeyCode::Backspace:
            if (state.current_input.empty()) {
                return EditorAction::None;
            }
            if (kind == EditorKind::Hex) {
                if (!passes_time_rule(state, now)) {
                    return EditorAction::None;
                }
                state.last_key_time = now;
            }
            state.current_input.pop_back();
            return EditorAction::Redraw;
        case KeyCode::Char:
            // Ctrl or Alt chords are commands, not text (Ctrl+C is not "c").
            if ((key.modifiers & (modifier::ctrl | modifier::alt)) != 0) {
                return EditorAction::None;
            }
            if (!passes_time_rule(state, now) || !accepts_character(kind, state, key.ch)) {
                return EditorAction::None;
            }
            state.current_input += static_cast<char>(key.ch);
            state.last_key_time = now;
            return EditorAction::Redraw;
        case KeyCode::Other:
            return EditorAction::None;
    }
    return EditorAction::None;
}

}  // namespace portavik::main_tirk
