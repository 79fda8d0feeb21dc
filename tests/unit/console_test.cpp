// SPDX-License-Identifier: MIT

#include "console/console.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "console/console_host.hpp"
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

// A print that may not wait is told before it does, once, whatever makes it
// wait: a held stream, or the lock held by another thread's print; a
// console that takes the text at once tells nothing. The text arrives whole
// and after what was printed before it.
TEST(ConsoleOutput, APrintThatWouldWaitSaysSoFirst) {
    enum class Hold { Nothing, Stream, Lock };
    for (const Hold hold : {Hold::Nothing, Hold::Stream, Hold::Lock}) {
        SCOPED_TRACE(static_cast<int>(hold));
        TestConsole t;
        std::thread other;
        if (hold != Hold::Nothing) {
            t.out.hold(true);
        }
        if (hold == Hold::Lock) {
            other = std::thread([&t] { t.console.print("first\n"); });
            ASSERT_TRUE(t.out.wait_for_waiting_write());
        }
        std::atomic<int> told{0};
        auto printed = std::async(std::launch::async, [&] {
            t.console.print("📥 41\n", [&] {
                ++told;
                t.out.hold(false);
            });
        });
        const bool in_time =
            printed.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        t.out.hold(false);  // if it was never told, so that the test ends
        printed.get();
        EXPECT_TRUE(in_time);
        if (other.joinable()) {
            other.join();
        }
        EXPECT_EQ(told, hold == Hold::Nothing ? 0 : 1);
        EXPECT_EQ(t.output(), hold == Hold::Lock ? "first\n📥 41\n" : "📥 41\n");
    }
}

// One step on a console, by one of the ways out or by another thread, and
// whether a claim of the end is expected to win.
struct EndStep {
    enum Kind { Print, ErrorLine, Clear, Claim, ClaimError } kind;
    std::string_view text = {};
    bool wins = false;
};

TEST(ConsoleEnd, TheFirstClaimSpeaksLastAndNothingIsWrittenAfterIt) {
    constexpr std::string_view kCtrlC = "\n👋 Программа завершена пользователем (Ctrl+C)\n";
    struct Case {
        std::string name;
        std::vector<EndStep> steps;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"the Ctrl+C handler first: the menu's goodbye and the receiver are silenced",
         {{EndStep::Print, "> "},
          {EndStep::Claim, kCtrlC, true},
          {EndStep::Print, "\n👋 До свидания!\n"},
          {EndStep::Print, "📥 Получены данные: 01\n"},
          {EndStep::ErrorLine, "Ошибка чтения: x"},
          {EndStep::Clear},
          {EndStep::Claim, {}, false}},
         "> " + std::string(kCtrlC),
         ""},
        {"the main thread's end first: the handler says nothing",
         {{EndStep::Print, "\n👋 До свидания!\n"},
          {EndStep::Claim, {}, true},
          {EndStep::Claim, kCtrlC, false}},
         "\n👋 До свидания!\n",
         ""},
        {"a fatal stop speaks on standard error",
         {{EndStep::ClaimError, "portavik: сбой\n", true},
          {EndStep::Print, "x"},
          {EndStep::Claim, kCtrlC, false}},
         "",
         "portavik: сбой\n"},
    };
    for (const Case& c : cases) {
        TestConsole t;
        for (const EndStep& step : c.steps) {
            switch (step.kind) {
                case EndStep::Print:
                    t.console.print(step.text);
                    break;
                case EndStep::ErrorLine:
                    t.console.error_line(step.text);
                    break;
                case EndStep::Clear:
                    t.console.clear_screen();
                    break;
                case EndStep::Claim:
                case EndStep::ClaimError: {
                    const Channel channel =
                        step.kind == EndStep::Claim ? Channel::Output : Channel::Error;
                    EXPECT_EQ(t.console.claim_end(step.text, channel), step.wins)
                        << c.name << ": " << step.text;
                    break;
                }
            }
        }
        EXPECT_EQ(t.output(), c.out) << c.name;
        EXPECT_EQ(t.errors(), c.err) << c.name;
    }
}

TEST(ConsoleEnd, AFailedWriteOfTheLastWordsStillClaimsTheEnd) {
    TestConsole t;
    t.out.set_failing(true);
    EXPECT_TRUE(t.console.claim_end("bye\n"));
    EXPECT_FALSE(t.console.claim_end());
    EXPECT_NO_THROW(t.console.line("after"));  // silenced, not failed
}

TEST(ConsoleEnd, LastWordsStayLastWhileAnotherThreadKeepsPrinting) {
    TestConsole t;
    std::atomic<bool> stop{false};
    std::atomic<int> lines{0};
    std::thread receiver([&] {
        while (!stop.load()) {
            t.console.line("📥 Получены данные: 01 53 00 1C F0");
            ++lines;
        }
    });
    while (lines.load() < 50) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(t.console.claim_end("LAST\n"));
    // On a loaded machine the last words may land after the claim has
    // stopped waiting for them; they are still the last write.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!t.output().ends_with("LAST\n") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int writes = t.out.writes();
    // The receiver goes on printing a while after the claim.
    for (const int claimed_at = lines.load(); lines.load() < claimed_at + 50;) {
        std::this_thread::yield();
    }
    stop.store(true);
    receiver.join();
    EXPECT_TRUE(t.output().ends_with("F0\nLAST\n"));
    EXPECT_EQ(t.out.writes(), writes);
}

// A console that takes no output (Ctrl+S, a selection, a terminal nobody
// reads) holds another thread in its print: the claim does not wait for it,
// and its last words come once the console goes on, after that print. The
// consoles outlive the test, as the program's does.
TEST(ConsoleEnd, TheClaimDoesNotWaitForAHeldConsole) {
    static auto& consoles = *new std::vector<TestConsole*>;
    for (const Channel channel : {Channel::Output, Channel::Error}) {
        const bool to_error = channel == Channel::Error;
        TestConsole& t = *consoles.emplace_back(new TestConsole);
        t.out.hold(true);
        std::thread([&t] { t.console.print("📥 held\n"); }).detach();
        ASSERT_TRUE(t.out.wait_for_waiting_write());
        auto claimed = std::async(std::launch::async,
                                  [&t, channel] { return t.console.claim_end("bye\n", channel); });
        ASSERT_EQ(claimed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(claimed.get());
        EXPECT_EQ(t.output() + t.errors(), "");
        t.out.hold(false);
        EXPECT_TRUE((to_error ? t.err : t.out).wait_for_writes(to_error ? 1 : 2));
        EXPECT_EQ(t.output(), to_error ? "📥 held\n" : "📥 held\nbye\n");
        EXPECT_EQ(t.errors(), to_error ? "bye\n" : "");
    }
}

namespace host = console_host;

TEST(ConsoleHost, ReadResultsAsWindowsGivesThem) {
    constexpr std::uint32_t kInvalidHandle = 6;  // ERROR_INVALID_HANDLE
    struct Case {
        std::string name;
        bool succeeded;
        std::size_t characters;
        std::uint32_t last_error;
        host::ReadOutcome outcome;
    };
    const Case cases[] = {
        {"a typed line", true, 3, 0, host::ReadOutcome::Text},
        {"Ctrl+C or Ctrl+Break during the read", true, 0, host::error_operation_aborted,
         host::ReadOutcome::ReadAgain},
        {"nothing, and no error", true, 0, 0, host::ReadOutcome::Ended},
        {"characters count whatever the error says", true, 2, host::error_operation_aborted,
         host::ReadOutcome::Text},
        {"the call failed", false, 0, kInvalidHandle, host::ReadOutcome::Failed},
        {"the call failed as aborted", false, 0, host::error_operation_aborted,
         host::ReadOutcome::Failed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host::classify_read(c.succeeded, c.characters, c.last_error), c.outcome)
            << c.name;
    }
}

TEST(ConsoleHost, OutputModeIsTakenAndPutBackOnEveryScreenBuffer) {
    using host::disable_newline_auto_return;
    using host::processed_output;
    using host::virtual_terminal_processing;
    using host::wrap_at_eol_output;
    constexpr std::uint32_t kConhost = processed_output | wrap_at_eol_output;
    constexpr std::uint32_t kProgram = kConhost | virtual_terminal_processing;
    struct Case {
        std::string name;
        // The screen buffer of each handle the program takes, in order, and
        // each buffer's mode before.
        std::vector<int> buffer_of;
        std::map<int, std::uint32_t> before;
        // Each buffer's mode while the program runs.
        std::map<int, std::uint32_t> during;
    };
    const Case cases[] = {
        {"the console host's default", {0}, {{0, kConhost}}, {{0, kProgram}}},
        {"standard output and error on one buffer", {0, 0}, {{0, kConhost}}, {{0, kProgram}}},
        {"escape sequences on already", {0}, {{0, kProgram}}, {{0, kProgram}}},
        {"an earlier program left line feeds without a return",
         {0},
         {{0, kProgram | disable_newline_auto_return}},
         {{0, kProgram}}},
        {"no wrap at the line's end is kept",
         {0, 1},
         {{0, processed_output}, {1, 0}},
         {{0, processed_output | virtual_terminal_processing},
          {1, processed_output | virtual_terminal_processing}}},
    };
    for (const Case& c : cases) {
        std::map<int, std::uint32_t> buffers = c.before;
        host::ModeRecord record;
        for (std::size_t handle = 0; handle < c.buffer_of.size(); ++handle) {
            std::uint32_t& mode = buffers[c.buffer_of[handle]];
            if (const auto wanted = record.take(handle, mode)) {
                mode = *wanted;
            }
        }
        EXPECT_EQ(buffers, c.during) << c.name;
        record.restore([&](std::uintptr_t handle, std::uint32_t mode) {
            buffers[c.buffer_of.at(handle)] = mode;
        });
        EXPECT_EQ(buffers, c.before) << c.name;
    }
}

TEST(ConsoleHost, ClsRunsCmdFromTheSystemDirectory) {
    struct Case {
        std::wstring system_directory;
        std::wstring application;
    };
    const Case cases[] = {
        {L"C:\\Windows\\system32", L"C:\\Windows\\system32\\cmd.exe"},
        {L"D:\\WINNT\\System32\\", L"D:\\WINNT\\System32\\cmd.exe"},
        // GetSystemDirectoryW failed: nothing to start, never a bare "cmd".
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host::cmd_application(c.system_directory), c.application);
    }
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
