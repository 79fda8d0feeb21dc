// SPDX-License-Identifier: MIT

#include "link/send.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "codec/crc.hpp"
#include "support/fake_port.hpp"
#include "support/test_console.hpp"

namespace portavik {
namespace {

using testing::bytes_of;
using ::testing::ElementsAre;
using testing::FakeBytes;
using testing::FakePort;
using testing::TestConsole;

const IoError kWriteFailure{IoKind::BrokenPipe, "устройство отключено"};

TEST(SendText, WritesTheUtf8BytesOnceWithoutALineEnding) {
    TestConsole t;
    FakePort port;
    send_text_message(t.console, port, "AT");
    send_text_message(t.console, port, "Привет");
    EXPECT_THAT(port.device().writes, ElementsAre(bytes_of("AT"), bytes_of("Привет")));
    EXPECT_EQ(port.device().writes[1].size(), 12U);
    EXPECT_EQ(t.output(),
              "📤 Отправлено в порт COM3 (текст): AT\n"
              "📤 Отправлено в порт COM3 (текст): Привет\n");
}

TEST(SendHex, WritesTheDecodedBytesAndConfirmsInNormalForm) {
    TestConsole t;
    FakePort port;
    send_hex_data(t.console, port, "F F0 0A B");
    EXPECT_THAT(port.device().writes, ElementsAre(FakeBytes{0xFF, 0x00, 0xAB}));
    EXPECT_EQ(t.output(), "📤 Отправлено в порт COM3 (HEX): FF 00 AB\n");
}

TEST(SendHexWithCrc, WritesDataAndTrailerInOneWrite) {
    TestConsole t;
    FakePort port;
    send_hex_data_with_crc(t.console, port, "01 03 00 00 00 01");
    EXPECT_THAT(port.device().writes,
                ElementsAre(FakeBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(t.output(), "📤 Отправлено в порт COM3 (HEX+CRC): 01 03 00 00 00 01 | CRC: 84 0A\n");
}

TEST(SendHex, SpacesOnlyWriteNothingOrJustTheCrcOfNothing) {
    TestConsole t;
    FakePort port;
    send_hex_data(t.console, port, "   ");
    send_hex_data_with_crc(t.console, port, "   ");
    EXPECT_THAT(port.device().writes, ElementsAre(FakeBytes{}, FakeBytes{0xFF, 0xFF}));
    EXPECT_EQ(t.output(),
              "📤 Отправлено в порт COM3 (HEX): \n"
              "📤 Отправлено в порт COM3 (HEX+CRC):  | CRC: FF FF\n");
}

TEST(SendHex, InvalidInputIsOneLineAndTouchesNoPort) {
    TestConsole t;
    FakePort port;
    port.device().name.reset();
    send_hex_data(t.console, port, "FF 0G");
    send_hex_data_with_crc(t.console, port, "FFF");
    EXPECT_TRUE(port.device().writes.empty());
    EXPECT_EQ(t.output(),
              "❌ Ошибка: неверный формат HEX данных\n"
              "❌ Ошибка: неверный формат HEX данных\n");
}

TEST(Send, WriteFailuresPrintOnlyTheErrorWithEachOperationsPrefix) {
    TestConsole t;
    FakePort port;
    port.device().write_error = kWriteFailure;
    send_text_message(t.console, port, "Hello");
    send_hex_data(t.console, port, "FF");
    send_hex_data_with_crc(t.console, port, "FF");
    EXPECT_EQ(t.output(),
              "❌ Ошибка: устройство отключено\n"
              "❌ Ошибка при отправке данных: устройство отключено\n"
              "❌ Ошибка: устройство отключено\n");
    // The port stays usable for the next send.
    port.device().write_error.reset();
    send_text_message(t.console, port, "ok");
    EXPECT_THAT(port.device().writes, ElementsAre(bytes_of("ok")));
}

TEST(Send, UnnamedPortIsShownAsUnknown) {
    TestConsole t;
    FakePort port;
    port.device().name.reset();
    send_text_message(t.console, port, "x");
    send_hex_data(t.console, port, "01");
    send_hex_data_with_crc(t.console, port, "01");
    EXPECT_EQ(t.output(),
              "📤 Отправлено в порт Неизвестный порт (текст): x\n"
              "📤 Отправлено в порт Неизвестный порт (HEX): 01\n"
              "📤 Отправлено в порт Неизвестный порт (HEX+CRC): 01 | CRC: 7E 80\n");
}

TEST(ClearScreen, ClearsScreenAndScrollbackInOneWrite) {
    TestConsole t;
    clear_screen(t.console);
    EXPECT_EQ(t.output(), "\x1b[H\x1b[2J\x1b[3J");
    EXPECT_EQ(t.out.writes(), 1);
}

TEST(ClearScreen, RunsThePlatformsActionInsteadUnderTheOutputLock) {
    TestConsole t;
    int runs = 0;
    std::thread other;
    t.console.set_clear_action([&] {
        ++runs;
        // The output lock is held: a line from another thread waits.
        other = std::thread([&] { t.console.line("📥 line"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(t.output(), "");
    });
    clear_screen(t.console);
    other.join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(t.output(), "📥 line\n");

    t.console.set_clear_action([] { throw FatalError("Не удалось запустить cmd /C cls"); });
    EXPECT_THROW(clear_screen(t.console), FatalError);
}

}  // namespace
}  // namespace portavik
