// SPDX-License-Identifier: MIT

#pragma once

// Key rules of the two raw-mode editors, as a pure step function:
// (state, key, now) -> what the editor loop has to do.

#include <chrono>
#include <string>

#include "terminal/terminal.hpp"

namespace portavik::main_tirk {

using EditorClock = std::chrono::steady_clock;

enum class EditorKind { Hex, Tirk };

// Keys closer than this to the last accepted one are dropped (strictly
// greater passes).
inline constexpr auto kDebounceDuration = std::chrono::milliseconds(200);

struct EditorState {
    std::string current_input;
    EditorClock::time_point last_key_time;
};

enum class EditorAction {
    None,    // key dropped, nothing to print
    Redraw,  // the line changed
    Submit,  // Enter on a non-empty line
    Leave,   // Esc
};

EditorAction apply_key(EditorKind kind, EditorState& state, const KeyEvent& key,
                       EditorClock::time_point now);

}  // namespace portavik::main_tirk
