// SPDX-License-Identifier: MIT

// The ТИРК editors around their key rules, and the ТИРК command menu.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_platform.hpp"
#include "support/screens.hpp"
#include "tirk/editors.hpp"
#include "tirk/tirk_mode.hpp"

namespace portavik::main_tirk {
namespace {

using std::chrono::milliseconds;
using ::testing::ElementsAre;
using testing::FakeBytes;
using testing::FakePort;
using testing::FakeTerminal;
using ::testing::IsEmpty;
using testing::screen;
using testing::TestConsole;

std::string hex_header() {
    return screen("tirk_hex_editor");
}

struct EditorRun {
    TestConsole t;
    FakeTerminal terminal;
    FakePort port;
    Flag running = make_flag(true);
    ReceiverThread receiver{t.console, std::make_unique<FakePort>(), running, kTirkReceive};
    bool paused_while_open = false;

    void run(EditorKind kind) {
        // The script ending without Esc stops the editor as a cleared `running` would.
        terminal.on_idle = [this] {
            paused_while_open = receiver.paused();
            running->store(false);
        };
        EditorContext context{t.console, terminal, port,
                              running,   receiver, [this] { return terminal.now(); }};
        run_editor(kind, context);
    }
};

std::string redraw(std::string_view line) {
    return "\x1b[2K\r> " + std::string(line);
}

TEST(HexEditor, SendsTheLineAsTypedAndStartsAFreshLine) {
    EditorRun r;
    r.terminal.type("ab 0F", milliseconds(300), milliseconds(250));
    r.terminal.press(KeyCode::Enter, milliseconds(1600));
    r.terminal.press(KeyCode::Esc, milliseconds(1700));
    r.run(EditorKind::Hex);
    EXPECT_THAT(r.port.device().writes, ElementsAre(FakeBytes{0xAB, 0x0F}));
    EXPECT_EQ(r.t.output(), hex_header() + redraw("a") + redraw("ab") + redraw("ab ") +
                                redraw("ab 0") + redraw("ab 0F") + "\x1b[2K\r\n" +
                                "📤 Отправлено в порт COM3 (HEX): AB 0F\n" + "\n" + hex_header() +
                                "\n");
    EXPECT_EQ(r.terminal.enables, 1);
    EXPECT_EQ(r.terminal.disables, 1);
    EXPECT_FALSE(r.terminal.raw);
    EXPECT_FALSE(r.receiver.paused());
}

TEST(HexEditor, KeysFasterThan200msAreDroppedSilently) {
    EditorRun r;
    r.terminal.type("ABCD", milliseconds(300), milliseconds(100));
    r.terminal.press(KeyCode::Esc, milliseconds(800));
    r.run(EditorKind::Hex);
    // 300 accepted, 400 dropped, 500 dropped (200 after 300 is not enough), 600 accepted.
    EXPECT_EQ(r.t.output(), hex_header() + redraw("A") + redraw("AD") + "\n");
}

TEST(HexEditor, InvalidHexIsReportedByTheSenderAndTheEditorGoesOn) {
    EditorRun r;
    r.terminal.type("ABC", milliseconds(300), milliseconds(300));
    r.terminal.press(KeyCode::Enter, milliseconds(1300));
    r.run(EditorKind::Hex);
    EXPECT_THAT(r.port.device().writes, IsEmpty());
    EXPECT_NE(
        r.t.output().find("\x1b[2K\r\n❌ Ошибка: неверный формат HEX данных\n\n" + hex_header()),
        std::string::npos);
}

TEST(TirkEditor, SendsCommandsAndRefusesZero) {
    EditorRun r;
    r.terminal.type("1", milliseconds(300), milliseconds(0));
    r.terminal.press(KeyCode::Enter, milliseconds(350));
    r.terminal.type("27", milliseconds(600), milliseconds(300));  // the 7 is dropped
    r.terminal.press(KeyCode::Enter, milliseconds(1000));
    r.terminal.type("0", milliseconds(1300), milliseconds(0));
    r.terminal.press(KeyCode::Enter, milliseconds(1350));
    r.terminal.type("00", milliseconds(1600), milliseconds(300));
    r.terminal.press(KeyCode::Enter, milliseconds(2000));
    r.terminal.press(KeyCode::Esc, milliseconds(2100));
    r.run(EditorKind::Tirk);
    EXPECT_THAT(r.port.device().writes, ElementsAre(FakeBytes{0x01, 0x50, 0x11, 0x00, 0x0D, 0x99},
                                                    FakeBytes{0x01, 0x50, 0x11, 0x01, 0xCC, 0x59}));
    const std::string header = screen("tirk_command_editor");
    const std::string range = "❌ Ошибка: номер команды ТИРК должен быть от 1 до 26\n";
    EXPECT_EQ(r.t.output(),
              header + redraw("1") + "\x1b[2K\r\n" +
                  "⏱️ Порт COM3: время отправки данных 0 мс\n" +
                  "📤 Отправлена команда ТИРК1: 01 50 11 00 | CRC: 0D 99\n" + "\n" + header +
                  redraw("2") + "\x1b[2K\r\n" +
                  "⏱️ Порт COM3: время отправки данных 0 мс\n" +
                  "📤 Отправлена команда ТИРК2: 01 50 11 01 | CRC: CC 59\n" + "\n" + header +
                  redraw("0") + "\x1b[2K\r\n" + range + "\n" + header + redraw("0") + redraw("00") +
                  "\x1b[2K\r\n" + range + "\n" + header + "\n");
}

TEST(Editors, PauseTheReceiverWhileOpenAndStopWhenRunningIsCleared) {
    for (EditorKind kind : {EditorKind::Hex, EditorKind::Tirk}) {
        EditorRun r;
        r.run(kind);  // no keys: the idle hook clears `running`
        EXPECT_TRUE(r.paused_while_open);
        EXPECT_FALSE(r.receiver.paused());
        EXPECT_EQ(r.terminal.disables, 1);
        EXPECT_FALSE(r.terminal.raw);
    }
}

TEST(Editors, RawModeFailuresAreFatal) {
    {
        EditorRun r;
        r.terminal.fail_enable = true;
        try {
            r.run(EditorKind::Hex);
            FAIL() << "no fatal stop";
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "Failed to enable raw mode");
        }
    }
    {
        EditorRun r;
        r.terminal.fail_disable = true;
        r.terminal.press(KeyCode::Esc, milliseconds(10));
        try {
            r.run(EditorKind::Tirk);
            FAIL() << "no fatal stop";
        } catch (const FatalError& e) {
            EXPECT_STREQ(e.what(), "Failed to disable raw mode");
        }
    }
}

TEST(Editors, AFailureInsideLeavesRawModeOff) {
    EditorRun r;
    r.terminal.type("1", milliseconds(300), milliseconds(0));
    r.t.out.set_failing(true);  // the header cannot be written
    EditorContext context{r.t.console, r.terminal, r.port,
                          r.running,   r.receiver, [&r] { return r.terminal.now(); }};
    EXPECT_THROW(run_editor(EditorKind::Tirk, context), OutputError);
    EXPECT_EQ(r.terminal.enables, 1);
    EXPECT_FALSE(r.terminal.raw);
}

std::string after_settings_block(const std::string& out) {
    const std::string end = screen("tirk_settings_block");
    const auto at = out.find(end);
    return at == std::string::npos ? out : out.substr(at + end.size());
}

TEST(TirkMenu, InvalidChoicesClearScreenAndExit) {
    testing::FakePlatform fake("1\n5\n12\n\n 3 \n4\n");
    auto platform = fake.platform();
    main(platform);
    const std::string menu = screen("tirk_menu");
    const std::string invalid = screen("invalid_choice", {{"choices", "1-4"}});
    EXPECT_EQ(after_settings_block(fake.output()), menu + invalid + menu + invalid + menu +
                                                       invalid + menu + "\x1b[H\x1b[2J\x1b[3J" +
                                                       menu + screen("goodbye"));
}

TEST(TirkMenu, EditorsOpenFromTheMenuAndEscReturnsToIt) {
    testing::FakePlatform fake("1\n1\n2\n");
    fake.terminal.press(KeyCode::Esc, milliseconds(10));
    fake.terminal.press(KeyCode::Esc, milliseconds(20));
    auto platform = fake.platform();
    main(platform);
    const std::string menu = screen("tirk_menu");
    EXPECT_EQ(after_settings_block(fake.output()), menu + hex_header() + "\n" + menu +
                                                       screen("tirk_command_editor") + "\n" + menu +
                                                       screen("goodbye"));
    EXPECT_EQ(fake.terminal.enables, 2);
    EXPECT_EQ(fake.terminal.disables, 2);
}

TEST(TirkMenu, FailedCloneIsFatal) {
    testing::FakePlatform fake("1\n4\n");
    fake.device->clone_error = SerialError{ErrorKind::Unknown, IoKind::Other, "dup"};
    auto platform = fake.platform();
    try {
        main(platform);
        FAIL() << "no fatal stop";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(),
                     "Failed to clone port: Error { kind: Unknown, description: \"dup\" }");
    }
}

}  // namespace
}  // namespace portavik::main_tirk
