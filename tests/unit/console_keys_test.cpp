// SPDX-License-Identifier: MIT

#include "terminal/console_keys.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
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
    // Ctrl+Break's restore runs on a thread of its own: before raw mode,
    // while SetConsoleMode runs (before or after the mode lands), after, never.
    enum When { Before, BeforeItLands, AfterItLands, After, Never, Nowhere };
    constexpr std::uint32_t kFound = key::processed_input | key::line_input, kRaw = 0;
    const std::tuple<When, bool, std::uint32_t> cases[] = {
        {Before, true, kRaw},          {BeforeItLands, false, kFound},
        {AfterItLands, false, kFound}, {After, true, kFound},
        {Never, true, kRaw},
    };
    for (const auto& [when, entered, mode] : cases) {
        RawModeRecord record;
        std::uint32_t console = kFound;
        const auto put = [&console](std::uint32_t m) { return console = m, true; };
        const auto restore_if = [&](When now) {
            if (when == now) {
                record.restore(put);
            }
        };
        restore_if(Before);
        EXPECT_EQ(record.enter(kFound, kRaw,
                               [&](std::uint32_t m) {
                                   restore_if(m == kRaw ? BeforeItLands : Nowhere);
                                   console = m;
                                   restore_if(m == kRaw ? AfterItLands : Nowhere);
                                   return true;
                               }),
                  entered)
            << when;
        restore_if(After);
        EXPECT_EQ(console, mode) << when;
        EXPECT_TRUE(record.leave(put));
        EXPECT_EQ(console, kFound) << when;
    }
}

}  // namespace
}  // namespace portavik
