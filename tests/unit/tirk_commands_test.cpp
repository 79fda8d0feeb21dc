// SPDX-License-Identifier: MIT

#include "tirk/tirk_commands.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_port.hpp"
#include "support/test_console.hpp"

namespace portavik::main_tirk {
namespace {

using ::testing::ElementsAre;
using testing::FakeBytes;
using testing::FakePort;
using ::testing::IsEmpty;
using testing::TestConsole;

// Every frame on the wire, CRC included, as the device documentation lists them.
constexpr std::string_view kFrames[26] = {
    "01 50 11 00 0D 99", "01 50 11 01 CC 59", "01 50 12 00 0D 69", "01 50 12 01 CC A9",
    "01 50 12 02 8C A8", "01 50 12 03 4D 68", "01 50 12 04 0C AA", "01 50 12 05 CD 6A",
    "01 50 12 06 8D 6B", "01 50 12 07 4C AB", "01 50 12 08 0C AF", "01 50 20 00 18 09",
    "01 50 20 01 D9 C9", "01 50 20 02 99 C8", "01 50 20 03 58 08", "01 50 20 04 19 CA",
    "01 50 20 05 D8 0A", "01 50 20 06 98 0B", "01 50 20 07 59 CB", "01 30 00 34 00",
    "01 30 01 F5 C0",    "01 30 02 B5 C1",    "01 30 03 74 01",    "01 30 04 35 C3",
    "01 30 05 F4 03",    "01 30 06 B4 02",
};

TEST(TirkCommands, AllTwentySixFramesGoOnTheWireWithTheirCrc) {
    for (int number = 1; number <= 26; ++number) {
        TestConsole t;
        FakePort port;
        send_tirk_command(t.console, port, static_cast<std::uint8_t>(number));
        ASSERT_EQ(port.device().writes.size(), 1U) << number;
        const std::string wire = format_hex_output(port.device().writes[0]);
        EXPECT_EQ(wire, kFrames[number - 1]) << number;
        // The confirmation shows the frame without its CRC, then the CRC bytes.
        const std::string frame(kFrames[number - 1]);
        const std::size_t body = frame.size() - 6;
        EXPECT_TRUE(t.output().ends_with("📤 Отправлена команда ТИРК" + std::to_string(number) +
                                         ": " + frame.substr(0, body) +
                                         " | CRC: " + frame.substr(body + 1) + "\n"))
            << t.output();
    }
}

TEST(TirkCommands, NumbersOutsideTheTableAreRefusedWithoutAWrite) {
    for (int number : {0, 27, 255}) {
        TestConsole t;
        FakePort port;
        send_tirk_command(t.console, port, static_cast<std::uint8_t>(number));
        EXPECT_THAT(port.device().writes, IsEmpty()) << number;
        EXPECT_EQ(t.output(), "❌ Ошибка: неверный номер команды ТИРК\n") << number;
        EXPECT_EQ(tirk_command_frame(static_cast<std::uint8_t>(number)), std::nullopt);
    }
}

TEST(TirkCommands, TimingLineInWholeMillisecondsThenConfirmationLine) {
    using namespace std::chrono_literals;
    // How long the write took on the clock the command is timed with, and
    // the whole milliseconds shown for it (truncated, never rounded).
    const std::pair<std::chrono::nanoseconds, std::string_view> cases[] = {
        {0ns, "0"}, {999us, "0"}, {1900us, "1"}, {2'999'999ns, "2"}, {3s + 4500us, "3004"},
    };
    for (const auto& [took, shown] : cases) {
        TestConsole t;
        FakePort port;
        const auto start = std::chrono::steady_clock::time_point{} + 1h;
        const auto& writes = port.device().writes;
        send_tirk_command(t.console, port, 20,
                          [&] { return writes.empty() ? start : start + took; });
        EXPECT_THAT(writes, ElementsAre(FakeBytes{0x01, 0x30, 0x00, 0x34, 0x00}));
        EXPECT_EQ(t.output(), "⏱️ Порт COM3: время отправки данных " +
                                  std::string(shown) +
                                  " мс\n"
                                  "📤 Отправлена команда ТИРК20: 01 30 00 | CRC: 34 00\n")
            << took.count() << " ns";
    }
}

TEST(TirkCommands, WriteFailurePrintsOnlyTheErrorLine) {
    TestConsole t;
    FakePort port;
    port.device().write_error = IoError{IoKind::TimedOut, "время ожидания истекло"};
    send_tirk_command(t.console, port, 1);
    EXPECT_EQ(t.output(), "❌ Ошибка при отправке данных: время ожидания истекло\n");
}

TEST(TirkCommands, UnnamedPortInTheTimingLine) {
    TestConsole t;
    FakePort port;
    port.device().name.reset();
    send_tirk_command(t.console, port, 26);
    EXPECT_TRUE(t.output().starts_with(
        "⏱️ Порт Неизвестный порт: время отправки "
        "данных "));
}

}  // namespace
}  // namespace portavik::main_tirk
