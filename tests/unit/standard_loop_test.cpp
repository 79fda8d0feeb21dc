// SPDX-License-Identifier: MIT

// The standard mode after the port is open: command menu and send submenus.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "codec/crc.hpp"
#include "codec/hex.hpp"
#include "standard/standard_mode.hpp"
#include "support/fake_platform.hpp"
#include "support/screens.hpp"

namespace portavik {
namespace {

using testing::bytes_of;
using ::testing::ElementsAre;
using testing::FakeBytes;
using testing::FakePlatform;
using ::testing::IsEmpty;
using testing::screen;

// Runs the standard mode on one port with the defaults, then `commands`.
struct StandardSession {
    explicit StandardSession(const std::string& commands) : fake("1\nn\n" + commands) {
        auto platform = fake.platform();
        run_original_version(platform);
        const std::string out = fake.output();
        const std::string ready = screen("ready");
        const auto at = out.find(ready);
        loop_output = at == std::string::npos ? out : out.substr(at + ready.size());
    }
    const std::vector<FakeBytes>& writes() const { return fake.device->writes; }
    FakePlatform fake;
    std::string loop_output;
};

std::string menu() {
    return screen("standard_menu");
}

std::string bye() {
    return screen("goodbye");
}

std::string invalid() {
    return screen("invalid_choice", {{"choices", "1-6"}});
}

TEST(StandardLoop, PipedSessionSendsAndEndsByItself) {
    StandardSession s("2\nFF 00\nq\n6\n");
    EXPECT_THAT(s.writes(), ElementsAre(FakeBytes{0xFF, 0x00}));
    EXPECT_EQ(s.loop_output, menu() + "📝 Введено: 2\n" + screen("hex_submenu") +
                                 "> 📤 Отправлено в порт COM3 (HEX): FF 00\n"
                                 "> " +
                                 menu() + "📝 Введено: 6\n" + bye());
}

TEST(StandardLoop, TextSubmenuSendsTrimmedLinesWithoutLineEndingsAndSkipsEmptyOnes) {
    StandardSession s("1\n  Hello  \n\n   \nqq\nПривет\n Q \n6\n");
    EXPECT_THAT(s.writes(), ElementsAre(bytes_of("Hello"), bytes_of("qq"), bytes_of("Привет")));
    EXPECT_EQ(s.loop_output, menu() + "📝 Введено: 1\n" + screen("text_submenu") +
                                 "> 📤 Отправлено в порт COM3 (текст): Hello\n"
                                 "> > > 📤 Отправлено в порт COM3 (текст): qq\n"
                                 "> 📤 Отправлено в порт COM3 (текст): Привет\n"
                                 "> " +
                                 menu() + "📝 Введено: 6\n" + bye());
}

TEST(StandardLoop, CrcSubmenuSendsFrameAndTreatsWordsAsData) {
    StandardSession s("3\n01 03 00 00 00 01\nquit\nq\n6\n");
    EXPECT_THAT(s.writes(), ElementsAre(FakeBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(s.loop_output,
              menu() + "📝 Введено: 3\n" + screen("crc_submenu") +
                  "> 📤 Отправлено в порт COM3 (HEX+CRC): 01 03 00 00 00 01 | CRC: 84 0A\n"
                  "> ❌ Ошибка: неверный формат HEX данных\n"
                  "> " +
                  menu() + "📝 Введено: 6\n" + bye());
}

TEST(StandardLoop, InvalidChoicesAreEchoedThenWarned) {
    StandardSession s("7\n  \n6\n");
    EXPECT_EQ(s.loop_output, menu() + "📝 Введено: 7\n" + invalid() + menu() + "📝 Введено: \n" +
                                 invalid() + menu() + "📝 Введено: 6\n" + bye());
}

TEST(StandardLoop, SettingsAndClearScreenReturnToTheMenu) {
    StandardSession s("4\n1\n115200\n6\n5\n6\n");
    EXPECT_EQ(s.fake.device->line.baud_rate, 115200U);
    const std::string& out = s.loop_output;
    EXPECT_NE(
        out.find("📝 Введено: 4\n🔄 Переход в меню настроек порта...\n" + screen("settings_menu")),
        std::string::npos);
    EXPECT_NE(out.find(screen("settings_summary",
                              {{"port", "COM3"}, {"settings", testing::line_settings("115200")}})),
              std::string::npos);
    EXPECT_NE(out.find("📝 Введено: 5\n\x1b[H\x1b[2J\x1b[3J" + menu()), std::string::npos);
    EXPECT_TRUE(out.ends_with(menu() + "📝 Введено: 6\n" + bye()));
}

std::size_t count(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Takes the receiver's chunks (a HEX line and its text line, both whole)
// out of `output`, and returns their bytes in order.
std::string take_received_chunks(std::string& output) {
    constexpr std::string_view kHex = "📥 Получено (HEX): ";
    constexpr std::string_view kText = "📥 Получено (текст): ";
    std::string received;
    for (auto at = output.find(kHex); at != std::string::npos; at = output.find(kHex, at)) {
        const auto hex_end = output.find('\n', at);
        const auto bytes =
            validate_hex_string(output.substr(at + kHex.size(), hex_end - at - kHex.size()));
        EXPECT_TRUE(bytes.has_value());
        const std::string text(bytes->begin(), bytes->end());
        const std::string text_line = std::string(kText) + text + "\n";
        EXPECT_EQ(output.compare(hex_end + 1, text_line.size(), text_line), 0) << text;
        output.erase(at, hex_end + 1 - at + text_line.size());
        received += text;
    }
    return received;
}

TEST(StandardLoop, DeviceDataDuringTheSettingsDialogLeavesEveryWriteWhole) {
    // The dialog does not pause the receiver: both threads print while the
    // main thread changes settings of the device the receiver reads.
    const std::string script = "4\n1\n115200\n3\n2\n6\n7\n";
    StandardSession alone(script);
    FakePlatform fake("1\nn\n" + script);
    fake.io.in.pace(1, std::chrono::microseconds(100));
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        const std::string text = "chunk " + std::to_string(i) + "\r\n";
        testing::ReadStep step = testing::data_step(text);
        // Spread over the whole session.
        step.before = [] { std::this_thread::sleep_for(std::chrono::microseconds(20)); };
        fake.device->reads.push_back(step);
        sent += text;
    }
    auto device = fake.device;
    fake.io.in.before_end = [device] {
        for (int i = 0; i < 5000; ++i) {
            if (std::lock_guard guard(device->lock); device->reads.empty()) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    auto platform = fake.platform();
    run_original_version(platform);

    EXPECT_EQ(device->line.baud_rate, 115200U);
    EXPECT_EQ(device->line.stop_bits, StopBits::Two);
    std::string all = fake.output();
    EXPECT_EQ(count(all, menu()), count(alone.fake.output(), menu()));
    // Taking the receiver's chunks out (reads that waited for the printer
    // come joined) leaves what the main thread printed alone, and they hold
    // every byte sent, in order.
    EXPECT_EQ(take_received_chunks(all), sent);
    EXPECT_EQ(all, alone.fake.output());
}

TEST(StandardLoop, EndOfInputLeavesSubmenusAndTheMenu) {
    for (std::string script : {"", "1\n", "2\nAB", "4\n"}) {
        StandardSession s(script);
        EXPECT_TRUE(s.loop_output.ends_with(menu() + bye())) << script;
    }
    StandardSession s("2\nAB");
    EXPECT_THAT(s.writes(), ElementsAre(FakeBytes{0xAB}));
}

TEST(StandardLoop, UnreadableLinesAreReported) {
    StandardSession s("\xff\n2\n\xfe\nq\n6\n");
    EXPECT_THAT(s.writes(), IsEmpty());
    EXPECT_EQ(s.loop_output, menu() + "❌ Ошибка чтения ввода\n" + menu() + "📝 Введено: 2\n" +
                                 screen("hex_submenu") + "> ❌ Ошибка чтения ввода\n> " + menu() +
                                 "📝 Введено: 6\n" + bye());
}

TEST(StandardLoop, FailedCloneIsFatal) {
    FakePlatform fake("1\nn\n6\n");
    fake.device->clone_error = SerialError{ErrorKind::Unknown, IoKind::Other, "dup failed"};
    auto platform = fake.platform();
    try {
        run_original_version(platform);
        FAIL() << "no fatal stop";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(),
                     "Failed to clone port: Error { kind: Unknown, description: \"dup failed\" }");
    }
}

}  // namespace
}  // namespace portavik
