// SPDX-License-Identifier: MIT

#include "terminal/key_decoder.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace portavik {
namespace {

using namespace std::string_literals;

KeyEvent chr(char32_t ch, unsigned modifiers = modifier::none) {
    return KeyEvent{KeyCode::Char, ch, modifiers};
}
KeyEvent ctrl(char32_t ch) {
    return chr(ch, modifier::ctrl);
}
KeyEvent alt(KeyEvent event) {
    event.modifiers |= modifier::alt;
    return event;
}
const KeyEvent kEnter{KeyCode::Enter};
const KeyEvent kBackspace{KeyCode::Backspace};
const KeyEvent kEsc{KeyCode::Esc};
const KeyEvent kOther{KeyCode::Other};

// Events as text, so that a mismatch reads well; every field takes part.
std::vector<std::string> names(const std::vector<KeyEvent>& events) {
    static const char* const codes[] = {"Char", "Enter", "Backspace", "Esc", "Other"};
    static const char* const kinds[] = {"Press", "Repeat", "Release"};
    std::vector<std::string> out;
    for (const auto& e : events) {
        char text[80];
        std::snprintf(text, sizeof text, "%s U+%04X mods=%u %s", codes[static_cast<int>(e.code)],
                      static_cast<unsigned>(e.ch), e.modifiers, kinds[static_cast<int>(e.kind)]);
        out.emplace_back(text);
    }
    return out;
}

std::vector<KeyEvent> drain(KeyDecoder& decoder) {
    std::vector<KeyEvent> events;
    while (auto event = decoder.next()) {
        events.push_back(*event);
    }
    return events;
}

struct Case {
    const char* name;
    std::string bytes;
    std::vector<KeyEvent> before_flush;  // decoded as soon as the bytes are in
    std::vector<KeyEvent> at_flush;      // only once the wait for more has run out
};

const std::vector<Case>& cases() {
    const std::string esc = "\x1b";
    static const std::vector<Case> all = {
        {"printable", "a", {chr('a')}, {}},
        {"several keys in one feed",
         "ab\x1b[Ac\r",
         {chr('a'), chr('b'), kOther, chr('c'), kEnter},
         {}},
        {"lone ESC", "\x1b", {}, {kEsc}},
        {"ESC ESC", "\x1b\x1b", {}, {alt(kEsc)}},
        {"three ESCs", "\x1b\x1b\x1b", {alt(kEsc)}, {kEsc}},
        {"CSI up", "\x1b[A", {kOther}, {}},
        {"SS3 F1", "\x1bOP", {kOther}, {}},
        {"SS3 up", "\x1bOA", {kOther}, {}},
        {"CSI delete", "\x1b[3~", {kOther}, {}},
        {"CSI ctrl+left", "\x1b[1;5D", {kOther}, {}},
        {"CSI F5", "\x1b[15~", {kOther}, {}},
        {"Linux console F1", "\x1b[[A", {kOther}, {}},
        {"sequence then digit", "\x1b[15~5", {kOther, chr('5')}, {}},
        {"modified sequence then digit", "\x1b[1;5D7", {kOther, chr('7')}, {}},
        {"SS3 then digit", "\x1bOP1", {kOther, chr('1')}, {}},
        {"two sequences", "\x1b[A\x1b[B", {kOther, kOther}, {}},
        {"unfinished CSI", "\x1b[1;5", {}, {kOther}},
        {"ESC [ alone", "\x1b[", {}, {kOther}},
        {"ESC O alone", "\x1bO", {}, {kOther}},
        {"OSC ended by BEL", "\x1b]11;rgb:ffff/ffff/ffff\x07x", {kOther, chr('x')}, {}},
        {"DCS ended by ST", "\x1bP1$r0m\x1b\\y", {kOther, chr('y')}, {}},
        {"unfinished OSC", "\x1b]0;ti", {}, {kOther}},
        {"OSC cut by another sequence", "\x1b]0;t\x1b[A", {kOther, kOther}, {}},
        {"CSI cut by a control byte", "\x1b[1\x03", {kOther, ctrl('c')}, {}},
        {"Alt+x", "\x1bx", {alt(chr('x'))}, {}},
        {"Alt+M", "\x1bM", {alt(chr('M'))}, {}},
        {"Alt+5", esc + "5", {alt(chr('5'))}, {}},
        {"Alt+Backspace", "\x1b\x7f", {alt(kBackspace)}, {}},
        {"Alt+Enter", "\x1b\r", {alt(kEnter)}, {}},
        {"Alt+Ctrl+C", "\x1b\x03", {alt(ctrl('c'))}, {}},
        {"Alt+я", "\x1b\xd1\x8f", {alt(chr(U'я'))}, {}},
        {"Alt+up (ESC ESC [ A)", "\x1b\x1b[A", {alt(kOther)}, {}},
        {"2-byte UTF-8", "\xd1\x8f", {chr(U'я')}, {}},
        {"3-byte UTF-8", "\xe2\x82\xac", {chr(U'€')}, {}},
        {"4-byte UTF-8", "\xf0\x9f\x98\x80", {chr(U'\U0001F600')}, {}},
        {"UTF-8 amid ASCII", "1я2", {chr('1'), chr(U'я'), chr('2')}, {}},
        {"stray continuation byte", "\x80", {kOther}, {}},
        {"byte that is never UTF-8", "\xff", {kOther}, {}},
        {"overlong", "\xc0\xaf", {kOther, kOther}, {}},
        {"lead byte then ASCII", "\xc3(", {kOther, chr('(')}, {}},
        {"surrogate", "\xed\xa0\x80", {kOther, kOther, kOther}, {}},
        {"above U+10FFFF", "\xf4\x90\x80\x80", {kOther, kOther, kOther, kOther}, {}},
        {"truncated 3-byte", "\xe2\x82", {}, {kOther}},
        {"truncated 3-byte then ASCII", "\xe2\x82z", {kOther, chr('z')}, {}},
        {"DEL", "\x7f", {kBackspace}, {}},
        {"BS", "\x08", {kBackspace}, {}},
        {"CR", "\r", {kEnter}, {}},
        {"LF", "\n", {kEnter}, {}},
        {"CR LF", "\r\n", {kEnter, kEnter}, {}},
        {"Ctrl+C", "\x03", {ctrl('c')}, {}},
        {"Ctrl+A and Ctrl+Z", "\x01\x1a", {ctrl('a'), ctrl('z')}, {}},
        {"NUL", "\0"s, {ctrl(' ')}, {}},
        {"0x1C-0x1F", "\x1c\x1d\x1e\x1f", {ctrl('\\'), ctrl(']'), ctrl('^'), ctrl('_')}, {}},
        {"Tab", "\t", {kOther}, {}},
    };
    return all;
}

TEST(KeyDecoder, WholeFeed) {
    for (const auto& c : cases()) {
        KeyDecoder decoder;
        decoder.feed(c.bytes);
        EXPECT_EQ(names(drain(decoder)), names(c.before_flush)) << c.name;
        EXPECT_EQ(decoder.incomplete(), !c.at_flush.empty()) << c.name;
        decoder.flush();
        EXPECT_EQ(names(drain(decoder)), names(c.at_flush)) << c.name;
        EXPECT_FALSE(decoder.incomplete()) << c.name;
    }
}

TEST(KeyDecoder, SplitAtEveryByteBoundary) {
    for (const auto& c : cases()) {
        for (std::size_t split = 1; split < c.bytes.size(); ++split) {
            KeyDecoder decoder;
            decoder.feed(std::string_view(c.bytes).substr(0, split));
            auto events = drain(decoder);
            decoder.feed(std::string_view(c.bytes).substr(split));
            for (const auto& e : drain(decoder)) {
                events.push_back(e);
            }
            EXPECT_EQ(names(events), names(c.before_flush)) << c.name << " split at " << split;
            decoder.flush();
            EXPECT_EQ(names(drain(decoder)), names(c.at_flush)) << c.name << " split at " << split;
        }
    }
}

TEST(KeyDecoder, OneByteAtATime) {
    for (const auto& c : cases()) {
        KeyDecoder decoder;
        std::vector<KeyEvent> events;
        for (char b : c.bytes) {
            decoder.feed(std::string_view(&b, 1));
            for (const auto& e : drain(decoder)) {
                events.push_back(e);
            }
        }
        EXPECT_EQ(names(events), names(c.before_flush)) << c.name;
        decoder.flush();
        EXPECT_EQ(names(drain(decoder)), names(c.at_flush)) << c.name;
    }
}

TEST(KeyDecoder, UnfinishedUtf8IsIncompleteUntilItsLastByte) {
    for (std::string text : {"я"s, "€"s, "\U0001F600"s}) {
        for (std::size_t length = 1; length < text.size(); ++length) {
            KeyDecoder decoder;
            decoder.feed(std::string_view(text).substr(0, length));
            EXPECT_FALSE(decoder.next().has_value()) << text << " " << length;
            EXPECT_TRUE(decoder.incomplete()) << text << " " << length;
        }
    }
}

// After a flush the next bytes start afresh: nothing of the unfinished key
// joins them.
TEST(KeyDecoder, FlushLeavesNothingBehind) {
    struct FlushCase {
        const char* before;
        const char* after;
        std::vector<KeyEvent> events;
    };
    const FlushCase flush_cases[] = {
        {"\x1b", "[A", {kEsc, chr('['), chr('A')}}, {"\x1b", "x", {kEsc, chr('x')}},
        {"\x1b[", "A", {kOther, chr('A')}},         {"\x1b[1;", "5D", {kOther, chr('5'), chr('D')}},
        {"\x1b]0;t", "\x07", {kOther, ctrl('g')}},  {"\xd1", "\x8f", {kOther, kOther}},
    };
    for (const auto& c : flush_cases) {
        KeyDecoder decoder;
        decoder.feed(c.before);
        auto events = drain(decoder);
        decoder.flush();
        for (const auto& e : drain(decoder)) {
            events.push_back(e);
        }
        decoder.feed(c.after);
        for (const auto& e : drain(decoder)) {
            events.push_back(e);
        }
        EXPECT_FALSE(decoder.incomplete()) << c.before;
        EXPECT_EQ(names(events), names(c.events)) << c.before;
    }
}

TEST(KeyDecoder, FlushKeepsTheOrderOfUndrainedEvents) {
    KeyDecoder decoder;
    decoder.feed("ab\x1b");
    EXPECT_FALSE(decoder.incomplete());  // 'a' is ready
    decoder.flush();
    decoder.feed("c");
    EXPECT_EQ(names(drain(decoder)), names({chr('a'), chr('b'), kEsc, chr('c')}));

    KeyDecoder empty;
    empty.flush();
    EXPECT_FALSE(empty.next().has_value());
}

TEST(KeyDecoder, ClearForgetsBufferedBytes) {
    KeyDecoder decoder;
    decoder.feed("a\x1b[");
    decoder.clear();
    EXPECT_FALSE(decoder.incomplete());
    decoder.feed("A");
    EXPECT_EQ(names(drain(decoder)), names({chr('A')}));
}

TEST(KeyDecoder, LongPasteOfMixedText) {
    std::string text;
    std::vector<KeyEvent> expected;
    for (int i = 0; i < 2000; ++i) {
        text += "x\xd1\x8f\x1b[A";
        expected.insert(expected.end(), {chr('x'), chr(U'я'), kOther});
    }
    KeyDecoder decoder;
    std::vector<KeyEvent> events;
    // Odd chunk size, so that keys straddle chunks everywhere.
    for (std::size_t pos = 0; pos < text.size(); pos += 7) {
        decoder.feed(std::string_view(text).substr(pos, 7));
        for (const auto& e : drain(decoder)) {
            events.push_back(e);
        }
    }
    EXPECT_FALSE(decoder.incomplete());
    EXPECT_EQ(names(events), names(expected));
}

}  // namespace
}  // namespace portavik
