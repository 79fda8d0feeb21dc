// SPDX-License-Identifier: MIT

#include "tirk/line_editor.hpp"

#include <gtest/gtest.h>

#include "support/fake_terminal.hpp"

namespace portavik::main_tirk {
namespace {

using std::chrono::milliseconds;
using testing::char_key;
using testing::code_key;

const EditorClock::time_point kOpened{};

struct Editor {
    explicit Editor(EditorKind k) : kind(k), state{"", kOpened} {}
    EditorAction key(const KeyEvent& event, int at_ms) {
        return apply_key(kind, state, event, kOpened + milliseconds(at_ms));
    }
    EditorAction ch(char32_t c, int at_ms) { return key(char_key(c), at_ms); }
    EditorKind kind;
    EditorState state;
};

TEST(EditorKeys, TheTimeRuleCountsFromOpeningAndIsStrictlyGreater) {
    for (EditorKind kind : {EditorKind::Hex, EditorKind::Tirk}) {
        Editor e(kind);
        EXPECT_EQ(e.ch('1', 199), EditorAction::None);
        EXPECT_EQ(e.ch('1', 200), EditorAction::None);
        EXPECT_EQ(e.ch('1', 201), EditorAction::Redraw);
        EXPECT_EQ(e.state.current_input, "1");
        // Counted from the last accepted key, not from dropped ones.
        EXPECT_EQ(e.ch('2', 401), EditorAction::None);
        EXPECT_EQ(e.ch('2', 402), EditorAction::Redraw);
        EXPECT_EQ(e.state.current_input, "12");
    }
}

TEST(EditorKeys, HexEditorTakesHexDigitsAndSpacesOnly) {
    Editor e(EditorKind::Hex);
    int t = 0;
    for (char32_t c : {U'a', U'b', U' ', U'0', U'F', U'g', U'-', U'x', U'Ж', U'\u00a0'}) {
        e.ch(c, t += 300);
    }
    EXPECT_EQ(e.state.current_input, "ab 0F");
}

TEST(EditorKeys, TirkEditorKeepsAtMostTwoDigitsUpTo26) {
    auto typed = [](std::u32string keys) {
        Editor e(EditorKind::Tirk);
        int t = 0;
        for (char32_t c : keys) {
            e.ch(c, t += 300);
        }
        return e.state.current_input;
    };
    EXPECT_EQ(typed(U"27"), "2");
    EXPECT_EQ(typed(U"26"), "26");
    EXPECT_EQ(typed(U"30"), "3");
    EXPECT_EQ(typed(U"39"), "3");
    EXPECT_EQ(typed(U"07"), "07");
    EXPECT_EQ(typed(U"123"), "12");
    EXPECT_EQ(typed(U"00"), "00");
    EXPECT_EQ(typed(U"a1 b"), "1");
}

TEST(EditorKeys, BackspaceFollowsTheTimeRuleOnlyInTheHexEditor) {
    Editor hex(EditorKind::Hex);
    hex.ch('A', 300);
    hex.ch('B', 600);
    EXPECT_EQ(hex.key(code_key(KeyCode::Backspace), 700), EditorAction::None);
    EXPECT_EQ(hex.key(code_key(KeyCode::Backspace), 801), EditorAction::Redraw);
    EXPECT_EQ(hex.state.current_input, "A");
    // The Backspace moved the clock on.
    EXPECT_EQ(hex.ch('C', 1000), EditorAction::None);

    Editor tirk(EditorKind::Tirk);
    tirk.ch('1', 300);
    tirk.ch('2', 600);
    EXPECT_EQ(tirk.key(code_key(KeyCode::Backspace), 601), EditorAction::Redraw);
    EXPECT_EQ(tirk.key(code_key(KeyCode::Backspace), 602), EditorAction::Redraw);
    EXPECT_EQ(tirk.state.current_input, "");
    // Backspace left the clock where the last character put it.
    EXPECT_EQ(tirk.ch('5', 801), EditorAction::Redraw);
}

TEST(EditorKeys, EnterAndBackspaceOnAnEmptyLineDoNothing) {
    for (EditorKind kind : {EditorKind::Hex, EditorKind::Tirk}) {
        Editor e(kind);
        EXPECT_EQ(e.key(code_key(KeyCode::Enter), 1000), EditorAction::None);
        EXPECT_EQ(e.key(code_key(KeyCode::Backspace), 2000), EditorAction::None);
        e.ch('1', 3000);
        // Enter has no time rule.
        EXPECT_EQ(e.key(code_key(KeyCode::Enter), 3001), EditorAction::Submit);
    }
}

TEST(EditorKeys, EscLeavesAtOnceAndOtherKeysDoNothing) {
    for (EditorKind kind : {EditorKind::Hex, EditorKind::Tirk}) {
        Editor e(kind);
        EXPECT_EQ(e.key(code_key(KeyCode::Other), 500), EditorAction::None);
        EXPECT_EQ(e.key(code_key(KeyCode::Esc), 1), EditorAction::Leave);
    }
}

TEST(EditorKeys, ReleaseEventsAreNotKeystrokes) {
    // A key held past 200 ms reports its release late: it still types once.
    Editor hex(EditorKind::Hex);
    hex.key(char_key('a'), 300);
    hex.key(char_key('a', modifier::none, KeyKind::Release), 600);
    EXPECT_EQ(hex.state.current_input, "a");
    // A repeat is a keystroke.
    hex.key(char_key('a', modifier::none, KeyKind::Repeat), 900);
    EXPECT_EQ(hex.state.current_input, "aa");

    // One Backspace removes one character, even though its release follows.
    Editor tirk(EditorKind::Tirk);
    tirk.ch('1', 300);
    tirk.ch('2', 600);
    tirk.key(code_key(KeyCode::Backspace), 700);
    tirk.key(code_key(KeyCode::Backspace, KeyKind::Release), 750);
    EXPECT_EQ(tirk.state.current_input, "1");
    EXPECT_EQ(tirk.key(code_key(KeyCode::Enter, KeyKind::Release), 800), EditorAction::None);
    EXPECT_EQ(tirk.key(code_key(KeyCode::Esc, KeyKind::Release), 800), EditorAction::None);
}

TEST(EditorKeys, CtrlAndAltChordsAreNotText) {
    for (EditorKind kind : {EditorKind::Hex, EditorKind::Tirk}) {
        Editor e(kind);
        EXPECT_EQ(e.key(char_key('c', modifier::ctrl), 300), EditorAction::None);
        EXPECT_EQ(e.key(char_key('1', modifier::alt), 600), EditorAction::None);
        EXPECT_EQ(e.key(char_key('1', modifier::ctrl | modifier::shift), 900), EditorAction::None);
        EXPECT_EQ(e.state.current_input, "");
        // Shift alone is typing.
        EXPECT_EQ(e.key(char_key('1', modifier::shift), 1200), EditorAction::Redraw);
    }
    Editor hex(EditorKind::Hex);
    EXPECT_EQ(hex.key(char_key('A', modifier::shift), 300), EditorAction::Redraw);
}

}  // namespace
}  // namespace portavik::main_tirk
