// SPDX-License-Identifier: MIT

#include "link/port_choice.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "support/screens.hpp"
#include "support/test_console.hpp"
#include "text/text.hpp"

namespace portavik {
namespace {

using testing::screen;
using testing::TestConsole;

PortLister ports_a_and_b() {
    return [] { return SerialResult<PortList>(PortList{{"A"}, {"B"}}); };
}

std::string list_ab() {
    return screen("port_list_heading") + "  1. A\n  2. B\n";
}
std::string prompt() {
    return screen("port_prompt");
}
constexpr std::string_view kBadNumber =
    "⚠️ Ошибка: введите корректный номер порта!\n";

TEST(SelectPort, AcceptsTheNumberWithSpacesOrAPlus) {
    for (std::string answer : {"2\n", " 2 \n", "+2\n", "2\r\n"}) {
        TestConsole t(answer);
        EXPECT_EQ(select_port(t.console, ports_a_and_b()), "B") << answer;
        EXPECT_EQ(t.output(), list_ab() + prompt()) << answer;
    }
}

TEST(SelectPort, RejectsEverythingElseAndAsksAgainWithoutRelisting) {
    TestConsole t("0\n3\n-1\n2a\n1 2\n\n18446744073709551617\n1\n");
    EXPECT_EQ(select_port(t.console, ports_a_and_b()), "A");
    std::string expected(list_ab());
    expected += prompt();
    for (int i = 0; i < 7; ++i) {
        expected += kBadNumber;
        expected += prompt();
    }
    EXPECT_EQ(t.output(), expected);
}

TEST(SelectPort, UnreadableAnswerIsANumberWarning) {
    TestConsole t("\xff\n2\n");
    EXPECT_EQ(select_port(t.console, ports_a_and_b()), "B");
    EXPECT_EQ(t.output(), list_ab() + prompt() +
                              "⚠️ Ошибка: введите число!\n" + prompt());
}

TEST(SelectPort, EndOfInputChoosesNothing) {
    TestConsole t("5\n");
    EXPECT_EQ(select_port(t.console, ports_a_and_b()), std::nullopt);
    EXPECT_EQ(t.output(), list_ab() + prompt() + std::string(kBadNumber) + prompt());
}

TEST(SelectPort, NoPortsOrAFailedListGiveOneLineAndNoPrompt) {
    {
        TestConsole t("1\n");
        EXPECT_EQ(select_port(t.console, [] { return SerialResult<PortList>(PortList{}); }),
                  std::nullopt);
        EXPECT_EQ(t.output(), screen("no_ports"));
    }
    {
        TestConsole t("1\n");
        PortLister failing = [] {
            return SerialResult<PortList>(std::unexpected(
                SerialError{ErrorKind::Unknown, IoKind::Other, "sysfs недоступен"}));
        };
        EXPECT_EQ(select_port(t.console, failing), std::nullopt);
        EXPECT_EQ(t.output(), "❌ Ошибка при получении списка портов: sysfs недоступен\n");
    }
}

TEST(SelectPort, SinglePortIsNumberOne) {
    TestConsole t("1\n");
    PortLister one = [] { return SerialResult<PortList>(PortList{{"/dev/ttyUSB0"}}); };
    EXPECT_EQ(select_port(t.console, one), "/dev/ttyUSB0");
    EXPECT_EQ(t.output(), screen("port_list_heading") + "  1. /dev/ttyUSB0\n" + prompt());
}

TEST(ValueWords, DisplayWordsAndValueNames) {
    EXPECT_EQ(display_word(DataBits::Five), "5");
    EXPECT_EQ(display_word(DataBits::Eight), "8");
    EXPECT_EQ(display_word(StopBits::Two), "2");
    EXPECT_EQ(display_word(Parity::Odd), "нечетная");
    EXPECT_EQ(display_word(Parity::Even), "четная");
    EXPECT_EQ(display_word(FlowControl::Software), "программное");
    EXPECT_EQ(display_word(FlowControl::Hardware), "аппаратное");
    EXPECT_EQ(value_name(DataBits::Seven), "Seven");
    EXPECT_EQ(value_name(Parity::Even), "Even");
    EXPECT_EQ(value_name(FlowControl::Hardware), "Hardware");
    EXPECT_EQ(value_name(StopBits::Two), "Two");
}

TEST(ParseUnsigned, DigitsWithOneOptionalPlusWithinTheLimit) {
    constexpr auto u32 = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(parse_unsigned("0", u32), 0U);
    EXPECT_EQ(parse_unsigned("+38400", u32), 38400U);
    EXPECT_EQ(parse_unsigned("4294967295", u32), 4294967295U);
    EXPECT_EQ(parse_unsigned("007", u32), 7U);
    for (std::string_view bad : {"", "+", "++1", "-1", "4294967296", "1 2", "12a", " 1", "１"}) {
        EXPECT_EQ(parse_unsigned(bad, u32), std::nullopt) << bad;
    }
    EXPECT_EQ(parse_unsigned("255", 255), 255U);
    EXPECT_EQ(parse_unsigned("256", 255), std::nullopt);
}

}  // namespace
}  // namespace portavik
