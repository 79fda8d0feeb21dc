#include "console/console.hpp"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "support/test_console.hpp"
#include "text/text.hpp"
#include "text/utf8.hpp"

namespace portavik {
namespace {

using testing::TestConsole;

TEST(ConsoleReadLine, GivesLinesWithoutLineFeedThenEnds) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
        TestConsole t("first\r\nsecond\n\nlast", chunk);
        EXPECT_EQ(t.console.read_line(), "first\r") << chunk;
        EXPECT_EQ(t.console.read_line(), "second") << chunk;
        EXPECT_EQ(t.console.read_line(), "") << chunk;
        EXPECT_EQ(t.console.read_line(), "last") << chunk;
        EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Ended)) << chunk;
        EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Ended)) << chunk;
    }
}

TEST(ConsoleReadLine, LinesOfEveryShortLengthComeBackExactly) {
    // Across the sizes where std::string changes its storage (15/16 bytes,
    // and its first growth), at the start of a read and behind another line.
    for (std::size_t length = 0; length <= 40; ++length) {
        const std::string text(length, 'k');
        TestConsole t(text + "\n" + text + "\nnext", 4096);
        EXPECT_EQ(t.console.read_line(), text) << length;
        EXPECT_EQ(t.console.read_line(), text) << length;
        EXPECT_EQ(t.console.read_line(), "next") << length;
    }
}

TEST(ConsoleReadLine, LongLinesBetweenShortOnesComeBackWhole) {
    // Long enough to be handed out in several pieces; a pattern shows a
    // piece out of place.
    std::string long_line(5'300'000, 'x');
    for (std::size_t i = 0; i < long_line.size(); ++i) {
        long_line[i] = static_cast<char>('a' + i * 7 % 26);
    }
    const std::string long_tail(70'000, 'y');
    const std::string input = "a\n" + long_line + "\nb\nc\n" + long_line + "z\n" + long_tail;
    for (std::size_t chunk : {std::size_t{61}, std::size_t{4096}, std::size_t{1 << 20}}) {
        TestConsole t(input, chunk);
        EXPECT_EQ(t.console.read_line(), "a") << chunk;
        EXPECT_EQ(t.console.read_line(), long_line) << chunk;
        EXPECT_EQ(t.console.read_line(), "b") << chunk;
        EXPECT_EQ(t.console.read_line(), "c") << chunk;
        EXPECT_EQ(t.console.read_line(), long_line + "z") << chunk;
        EXPECT_EQ(t.console.read_line(), long_tail) << chunk;
        EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Ended)) << chunk;
    }
}

TEST(ConsoleReadLine, InvalidUtf8LineFailsAndIsConsumed) {
    TestConsole t("\xff\xfe\nok\nтекст\n\xd0\n");
    EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Failed));
    EXPECT_EQ(t.console.read_line(), "ok");
    EXPECT_EQ(t.console.read_line(), "текст");
    EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Failed));
    EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Ended));
}

TEST(ConsoleReadLine, IoErrorFailsOnceThenCountsAsEnd) {
    TestConsole t("partial", 4096, /*fail_at_end=*/true);
    EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Failed));
    const int reads = t.in.reads();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t.console.read_line(), std::unexpected(ReadError::Ended));
    }
    // A dead stream is not asked again, so no prompt can spin on it.
    EXPECT_EQ(t.in.reads(), reads);
}

TEST(ConsoleOutput, LinesAndPromptsAreWrittenWholeInOneCall) {
    TestConsole t;
    t.console.line("📥 строка");
    t.console.print("> ");
    EXPECT_EQ(t.output(), "📥 строка\n> ");
    EXPECT_EQ(t.out.writes(), 2);
}

TEST(ConsoleOutput, FailedWriteThrows) {
    TestConsole t;
    t.out.set_failing(true);
    EXPECT_THROW(t.console.print("prompt: "), OutputError);
    EXPECT_THROW(t.console.line("x"), OutputError);
    t.err.set_failing(true);
    EXPECT_THROW(t.console.error_line("x"), OutputError);
}

TEST(ConsoleOutput, PrintUnlessHeldWritesToItsStreamOnlyWhenNotHeld) {
    struct Case {
        bool held;
        bool to_error;
        const char* out;
        const char* err;
    };
    for (const Case& c : {Case{false, false, "x", ""}, Case{false, true, "", "x"},
                          Case{true, false, "", ""}, Case{true, true, "", ""}}) {
        TestConsole t;
        const std::atomic<bool> held{c.held};
        EXPECT_EQ(t.console.print_unless(held, "x", c.to_error), !c.held);
        EXPECT_EQ(t.output(), c.out);
        EXPECT_EQ(t.errors(), c.err);
    }
    TestConsole t;
    t.err.set_failing(true);
    EXPECT_THROW(t.console.print_unless(std::atomic<bool>{false}, "x", true), OutputError);
}

// A sink that writes byte by byte and yields in between, as a slow stream
// would: lines from two threads mix unless the console holds its lock for a
// whole line.
class TricklingSink final : public ByteSink {
  public:
    bool write(std::string_view bytes) override {
        for (char c : bytes) {
            text += c;
            std::this_thread::yield();
        }
        return true;
    }
    std::string text;
};

TEST(ConsoleOutput, LinesOfTwoThreadsNeverMixInsideALine) {
    testing::ScriptedInput in("");
    TricklingSink out;
    testing::CapturedOutput err;
    Console console(in, out, err);
    auto writer = [&console](std::string tag) {
        for (int i = 0; i < 300; ++i) {
            console.line(tag + " " + std::to_string(i) + " end");
        }
    };
    std::thread a(writer, "📥 Получено (HEX): AA");
    std::thread b(writer, "> prompt BB");
    a.join();
    b.join();
    std::istringstream lines(out.text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        const bool from_a = line.starts_with("📥 Получено (HEX): AA ");
        const bool from_b = line.starts_with("> prompt BB ");
        EXPECT_TRUE((from_a || from_b) && line.ends_with(" end")) << line;
    }
    EXPECT_EQ(count, 600);
}

TEST(SplitAfterLineErase, CutsAfterEachEraseAndKeepsEveryByte) {
    using Pieces = std::vector<std::string_view>;
    EXPECT_EQ(split_after_line_erase("> 12"), Pieces{"> 12"});
    EXPECT_EQ(split_after_line_erase(""), Pieces{""});
    EXPECT_EQ(split_after_line_erase("\x1b[2K\r> 1F"), (Pieces{"\x1b[2K\r", "> 1F"}));
    EXPECT_EQ(split_after_line_erase("\x1b[2K\r\n"), (Pieces{"\x1b[2K\r", "\n"}));
    EXPECT_EQ(split_after_line_erase("\x1b[2K\r"), Pieces{"\x1b[2K\r"});
    EXPECT_EQ(split_after_line_erase("a\x1b[2K\rб\x1b[2K\rв"),
              (Pieces{"a\x1b[2K\r", "б\x1b[2K\r", "в"}));
    // An erase without the carriage return is left whole.
    EXPECT_EQ(split_after_line_erase("\x1b[2K> 1"), Pieces{"\x1b[2K> 1"});
}

TEST(Trim, RemovesAsciiAndUnicodeWhiteSpaceOnlyAtTheEnds) {
    EXPECT_EQ(trim("  2 \r\n"), "2");
    EXPECT_EQ(trim("\t1 2\t"), "1 2");
    EXPECT_EQ(trim("\u00a0\u3000q\u2003"), "q");
    EXPECT_EQ(trim("   "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim(" привет мир "), "привет мир");
    // Not valid UTF-8: ASCII white space still goes.
    EXPECT_EQ(trim(" \xff "), "\xff");
}

TEST(Utf8, ValidatesStrictly) {
    EXPECT_TRUE(is_valid_utf8("ascii"));
    EXPECT_TRUE(is_valid_utf8("Кириллица 👋 €"));
    EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(is_valid_utf8("\xe2\x82"));          // cut short
    EXPECT_FALSE(is_valid_utf8("\x80"));
}

}  // namespace
}  // namespace portavik
