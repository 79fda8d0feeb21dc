// SPDX-License-Identifier: MIT

#include "standard/settings_dialog.hpp"

#include <gtest/gtest.h>

#include "support/fake_port.hpp"
#include "support/screens.hpp"
#include "support/test_console.hpp"

namespace portavik {
namespace {

using testing::FakePort;
using testing::line_settings;
using testing::screen;
using testing::TestConsole;

std::string menu() {
    return screen("settings_menu");
}

std::string summary(std::string_view port, std::string_view settings) {
    return screen("settings_summary", {{"port", port}, {"settings", settings}});
}

// The fake port as it starts.
std::string default_summary() {
    return summary("COM3", line_settings("9600"));
}

std::size_t count(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST(PortSettingsDialog, SixFirstPrintsOnlyTheSummary) {
    TestConsole t("6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    EXPECT_EQ(t.output(), menu() + default_summary());
}

TEST(PortSettingsDialog, EachChangeIsAppliedAtOnceAndConfirmedByName) {
    TestConsole t(" 4 \n2\n5\n3\n2\n3\n3\n2\n1\n+38400\n6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    EXPECT_EQ(port.device().line, (LineSettings{38400, DataBits::Seven, StopBits::Two,
                                                Parity::Even, FlowControl::Software}));
    const std::string expected =
        menu() + screen("parity_dialog") + "✅ Четность установлена: Even\n" + menu() +
        screen("flow_dialog") + "✅ Управление потоком установлено: Software\n" + menu() +
        screen("data_bits_dialog") + "✅ Биты данных установлены: Seven\n" + menu() +
        screen("stop_bits_dialog") + "✅ Стоп-биты установлены: Two\n" + menu() +
        screen("baud_prompt") + "✅ Скорость установлена: 38400 бод\n" + menu() +
        summary("COM3", line_settings("38400", "7", "2", "четная", "программное"));
    EXPECT_EQ(t.output(), expected);
}

TEST(PortSettingsDialog, AnswersOutsideTheListChangeNothing) {
    TestConsole t("2\n5\n3\n3\n4\n0\n5\n\n1\nabc\n1\n\n1\n-1\n1\n1 2\n1\n4294967296\n6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    EXPECT_EQ(port.device().setter_calls, 0);
    EXPECT_EQ(count(t.output(), "❌ Ошибка: неверный выбор\n"), 4U);
    EXPECT_EQ(count(t.output(), "❌ Ошибка: введите корректное число\n"), 5U);
    EXPECT_TRUE(t.output().ends_with(default_summary()));
}

TEST(PortSettingsDialog, BaudRateHasNoLimitsOfItsOwn) {
    TestConsole t("1\n0\n1\n4294967295\n6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    EXPECT_EQ(port.device().setter_calls, 2);
    EXPECT_EQ(count(t.output(), "✅ Скорость установлена: 0 бод\n"), 1U);
    EXPECT_EQ(count(t.output(), "✅ Скорость установлена: 4294967295 бод\n"), 1U);
}

TEST(PortSettingsDialog, InvalidMenuAnswersAreWarnedAndTheMenuComesAgain) {
    TestConsole t("0\n7\n01\nq\n1.\n\n6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    std::string expected;
    for (int i = 0; i < 6; ++i) {
        expected += menu() + screen("invalid_choice", {{"choices", "1-6"}});
    }
    expected += menu() + default_summary();
    EXPECT_EQ(t.output(), expected);
}

TEST(PortSettingsDialog, RefusedChangesReportTheDeviceErrorAndTheSummaryShowsTheDevice) {
    TestConsole t("1\n115200\n2\n3\n3\n2\n4\n2\n5\n2\n6\n");
    FakePort port;
    port.device().setter_error = SerialError{ErrorKind::InvalidInput, IoKind::Other, "отказ"};
    configure_port_settings(t.console, port);
    const std::string out = t.output();
    EXPECT_EQ(count(out, "❌ Ошибка установки скорости: отказ\n"), 1U);
    EXPECT_EQ(count(out, "❌ Ошибка установки бит данных: отказ\n"), 1U);
    EXPECT_EQ(count(out, "❌ Ошибка установки стоп-бит: отказ\n"), 1U);
    EXPECT_EQ(count(out, "❌ Ошибка установки четности: отказ\n"), 1U);
    EXPECT_EQ(count(out, "❌ Ошибка установки управления потоком: отказ\n"), 1U);
    EXPECT_EQ(count(out, "✅"), 1U);  // the summary only
    EXPECT_TRUE(out.ends_with(default_summary()));
}

TEST(PortSettingsDialog, SummaryFallsBackForAnUnnamedPortAndFailedQueries) {
    TestConsole t("6\n");
    FakePort port;
    port.device().name.reset();
    port.device().line.baud_rate = 115200;
    port.device().line.parity = Parity::Odd;
    port.device().query_error = SerialError{ErrorKind::NoDevice, IoKind::Other, "нет"};
    configure_port_settings(t.console, port);
    EXPECT_TRUE(t.output().ends_with(summary("Неизвестный порт", line_settings("9600"))));
}

TEST(PortSettingsDialog, EndOfInputLeavesWithTheSummary) {
    for (std::string script : {"", "2\n", "1\n"}) {
        TestConsole t(script);
        FakePort port;
        configure_port_settings(t.console, port);
        EXPECT_TRUE(t.output().ends_with(menu() + default_summary())) << script;
        EXPECT_EQ(port.device().setter_calls, 0);
    }
}

}  // namespace
}  // namespace portavik
