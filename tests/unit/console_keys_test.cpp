// SPDX-License-Identifier: MIT

#include "terminal/console_keys.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace portavik {
namespace {

namespace key = console_key;

ConsoleKeyRecord down(std::uint16_t vk, char16_t c = 0, std::uint32_t state = 0) {
    return {true, vk, c, state};
}

ConsoleKeyRecord up(std::uint16_t vk, char16_t c = 0, std::uint32_t state = 0) {
    return {false, vk, c, state};
}

KeyEvent char_event(char32_t c, unsigned modifiers = modifier::none) {
    return {KeyCode::Char, c, modifiers, KeyKind::Press};
}

KeyEvent code_event(KeyCode code, unsigned modifiers = modifier::none) {
    return {code, 0, modifiers, KeyKind::Press};
}

struct Case {
    std::string name;
    std::vector<ConsoleKeyRecord> records;
    std::vector<KeyEvent> events;
};

TEST(ConsoleKeys, RecordsMapToTheKeyEventsThePosixDecoderGives) {
    const Case cases[] = {
        {"letter down and up", {down('A', u'a'), up('A', u'a')}, {char_event(U'a')}},
        {"shifted letter",
         {down('A', u'A', key::shift_pressed)},
         {char_event(U'A', modifier::shift)}},
        {"digit", {down('7', u'7')}, {char_event(U'7')}},
        {"Cyrillic", {down(0xBA, u'ж')}, {char_event(U'ж')}},
        {"Esc without a character",
         {down(key::escape), up(key::escape)},
         {code_event(KeyCode::Esc)}},
        {"Esc with its character", {down(key::escape, u'\x1b')}, {code_event(KeyCode::Esc)}},
        {"Backspace", {down(key::back, u'\b')}, {code_event(KeyCode::Backspace)}},
        {"Enter", {down(key::enter, u'\r')}, {code_event(KeyCode::Enter)}},
        {"Tab", {down(key::tab, u'\t')}, {code_event(KeyCode::Other)}},
        {"arrow", {down(key::left_arrow)}, {code_event(KeyCode::Other)}},
        {"Ctrl+C",
         {down('C', u'\x03', key::left_ctrl)},
         {code_event(KeyCode::Other, modifier::ctrl)}},
        {"Alt+1", {down('1', u'1', key::left_alt)}, {code_event(KeyCode::Other, modifier::alt)}},
        {"AltGr types", {down('Q', u'@', key::right_alt | key::left_ctrl)}, {char_event(U'@')}},
        {"Ctrl with both Alts is no AltGr",
         {down('Q', u'@', key::right_alt | key::left_alt | key::left_ctrl)},
         {code_event(KeyCode::Other, modifier::ctrl | modifier::alt)}},
        {"modifier and lock keys alone",
         {down(key::shift, 0, key::shift_pressed), down(key::control, 0, key::left_ctrl),
          down(key::menu, 0, key::left_alt), down(key::capital), down(0xA0)},
         {}},
        {"surrogate pair", {down(0, u'\xD83D'), down(0, u'\xDC4B')}, {char_event(U'👋')}},
        {"lone low surrogate", {down(0, u'\xDC4B')}, {code_event(KeyCode::Other)}},
        {"high surrogate then a letter", {down(0, u'\xD83D'), down('B', u'b')}, {char_event(U'b')}},
        {"Alt+numpad code on the release of Alt",
         {down(key::menu, 0, key::left_alt), down(0x62, 0, key::left_alt), up(0x62),
          up(key::menu, u'ä')},
         {code_event(KeyCode::Other, modifier::alt), char_event(U'ä')}},
    };
    for (const Case& c : cases) {
        ConsoleKeyMapper mapper;
        std::vector<KeyEvent> got;
        for (const ConsoleKeyRecord& record : c.records) {
            if (const auto event = mapper.map(record)) {
                got.push_back(*event);
            }
        }
        EXPECT_EQ(got, c.events) << c.name;
    }
}

TEST(ConsoleInputMode, RawModeTurnsOffWhatWouldHoldOrRewriteTheKeys) {
    // ENABLE_WINDOW_INPUT, _MOUSE_INPUT, _INSERT_MODE, _QUICK_EDIT_MODE,
    // _EXTENDED_FLAGS, _AUTO_POSITION: kept as found.
    constexpr std::uint32_t kOthers = 0x0008 | 0x0010 | 0x0020 | 0x0040 | 0x0080 | 0x0100;
    constexpr std::uint32_t kCooked = key::processed_input | key::line_input | key::echo_input;
    struct ModeCase {
        std::string name;
        std::uint32_t found;
        std::uint32_t raw;
    };
    const ModeCase cases[] = {
        {"a cooked console", kCooked | kOthers, kOthers},
        {"virtual-terminal input left on by an earlier program",
         kCooked | key::virtual_terminal_input | kOthers, kOthers},
        {"only virtual-terminal input", key::virtual_terminal_input, 0},
        {"raw already", 0x0080, 0x0080},
    };
    for (const ModeCase& c : cases) {
        EXPECT_EQ(raw_input_mode(c.found), c.raw) << c.name;
        EXPECT_TRUE(is_raw_input_mode(raw_input_mode(c.found))) << c.name;
    }
    // A console that kept any of them after SetConsoleMode is not raw.
    for (const std::uint32_t kept :
         {key::processed_input, key::line_input, key::echo_input, key::virtual_terminal_input}) {
        EXPECT_FALSE(is_raw_input_mode(kOthers | kept)) << kept;
    }
}

TEST(ConsoleInputMode, ARestoreFromTheControlHandlerWinsWhereverItComes) {
    // Ctrl+Break runs the control handler's restore on a thread of its own:
    // before raw mode is entered, while SetConsoleMode runs (before or after
    // the mode lands), afterwards, or not at all.
    enum class When { Before, BeforeItLands, AfterItLands, After, Never };
    constexpr std::uint32_t kFound = key::processed_input | key::line_input | key::echo_input;
    constexpr std::uint32_t kRaw = 0;
    struct ModeCase {
        const char* name;
        When when;
        bool entered;
        std::uint32_t mode;  // the console's, after enter() and the restore
    };
    const ModeCase cases[] = {
        {"before: nothing to undo, raw mode then entered", When::Before, true, kRaw},
        {"before the mode lands", When::BeforeItLands, false, kFound},
        {"after the mode landed, before it was recorded", When::AfterItLands, false, kFound},
        {"after", When::After, true, kFound},
        {"never", When::Never, true, kRaw},
    };
    for (const ModeCase& c : cases) {
        RawModeRecord record;
        std::uint32_t console = kFound;
        const auto put = [&console](std::uint32_t mode) {
            console = mode;
            return true;
        };
        if (c.when == When::Before) {
            record.restore(put);
        }
        const bool entered = record.enter(kFound, kRaw, [&](std::uint32_t mode) {
            if (mode == kRaw && c.when == When::BeforeItLands) {
                record.restore(put);
            }
            console = mode;
            if (mode == kRaw && c.when == When::AfterItLands) {
                record.restore(put);
            }
            return true;
        });
        if (c.when == When::After) {
            record.restore(put);
        }
        EXPECT_EQ(entered, c.entered) << c.name;
        EXPECT_EQ(console, c.mode) << c.name;
        // Leaving puts the found mode back, and only once raw mode is in force.
        EXPECT_TRUE(record.leave(put)) << c.name;
        EXPECT_EQ(console, c.mode == kRaw && c.entered ? kFound : c.mode) << c.name;
    }

    // A console that would not take raw mode is left as found.
    RawModeRecord record;
    std::uint32_t console = kFound;
    EXPECT_FALSE(record.enter(kFound, kRaw, [&console](std::uint32_t mode) {
        console = mode == kRaw ? key::line_input : mode;
        return mode != kRaw;
    }));
    EXPECT_EQ(console, kFound);
}

}  // namespace
}  // namespace portavik
