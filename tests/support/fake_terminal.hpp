// SPDX-License-Identifier: MIT

#pragma once

// A terminal that plays scripted key events at scripted times.

#include <chrono>
#include <deque>
#include <functional>

#include "terminal/terminal.hpp"
#include "tirk/line_editor.hpp"

namespace portavik::testing {

struct TimedKey {
    KeyEvent key;
    std::chrono::milliseconds at;  // since the editor opened
};

inline KeyEvent char_key(char32_t c, unsigned modifiers = modifier::none,
                         KeyKind kind = KeyKind::Press) {
    return {KeyCode::Char, c, modifiers, kind};
}
inline KeyEvent code_key(KeyCode code, KeyKind kind = KeyKind::Press) {
    return {code, 0, modifier::none, kind};
}

class FakeTerminal final : public Terminal {
  public:
    std::deque<TimedKey> keys;
    // Called by `poll` when the script is used up (e.g. to clear `running`).
    std::function<void()> on_idle;
    bool fail_enable = false;
    bool fail_disable = false;
    bool raw = false;
    int enables = 0;
    int disables = 0;
    main_tirk::EditorClock::time_point start{};
    main_tirk::EditorClock::time_point current{};

    bool enable_raw_mode() override {
        ++enables;
        if (fail_enable) {
            return false;
        }
        raw = true;
        return true;
    }
    bool disable_raw_mode() override {
        ++disables;
        if (fail_disable) {
            return false;
        }
        raw = false;
        return true;
    }
    std::expected<bool, std::string> poll(std::chrono::milliseconds) override {
        if (keys.empty()) {
            if (on_idle) {
                on_idle();
            }
            return false;
        }
        return true;
    }
    std::expected<TerminalEvent, std::string> read_event() override {
        TimedKey next = keys.front();
        keys.pop_front();
        current = start + next.at;
        return TerminalEvent{next.key};
    }
    main_tirk::EditorClock::time_point now() const { return current; }

    // Types `text` one character every `gap`, starting at `from`.
    void type(std::string_view text, std::chrono::milliseconds from,
              std::chrono::milliseconds gap) {
        for (char c : text) {
            keys.push_back({char_key(static_cast<unsigned char>(c)), from});
            from += gap;
        }
    }
    void press(KeyCode code, std::chrono::milliseconds at) { keys.push_back({code_key(code), at}); }
};

}  // namespace portavik::testing
