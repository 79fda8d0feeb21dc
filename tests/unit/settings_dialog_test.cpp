#include "standard/settings_dialog.hpp"

#include <gtest/gtest.h>

#include "support/fake_port.hpp"
#include "support/test_console.hpp"

namespace portavik {
namespace {

using testing::FakePort;
using testing::TestConsole;

constexpr std::string_view kMenu =
    "\n=== 📋 Настройки порта ===\n"
    "1. Скорость передачи (бод)\n"
    "2. Биты данных\n"
    "3. Стоп-биты\n"
    "4. Четность\n"
    "5. Управление потоком\n"
    "6. Вернуться в главное меню\n"
    "\nВыберите настройку (1-6): ";
constexpr std::string_view kDefaultSummary =
    "\n✅ Текущие настройки порта: COM3 @ 9600 бод, 8 бит данных, 1 стоп-бит, нет четность, нет "
    "поток\n";

std::string menu() {
    return std::string(kMenu);
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
    EXPECT_EQ(t.output(), menu() + std::string(kDefaultSummary));
}

TEST(PortSettingsDialog, EachChangeIsAppliedAtOnceAndConfirmedByName) {
    TestConsole t(" 4 \n2\n5\n3\n2\n3\n3\n2\n1\n+38400\n6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    const auto& d = port.device();
    EXPECT_EQ(d.parity, Parity::Even);
    EXPECT_EQ(d.flow_control, FlowControl::Software);
    EXPECT_EQ(d.data_bits, DataBits::Seven);
    EXPECT_EQ(d.stop_bits, StopBits::Two);
    EXPECT_EQ(d.baud_rate, 38400U);
    const std::string expected =
        menu() + "\nВыберите четность:\n1. Нет\n2. Четная\n3. Нечетная\n\nВыберите (1-3): " +
        "✅ Четность установлена: Even\n" + menu() +
        "\nВыберите управление потоком:\n1. Нет\n2. Аппаратное\n3. Программное\n"
        "\nВыберите (1-3): ✅ Управление потоком установлено: Software\n" +
        menu() +
        "\nВыберите количество бит данных:\n1. 5 бит\n2. 6 бит\n3. 7 бит\n4. 8 бит\n"
        "\nВыберите (1-4): ✅ Биты данных установлены: Seven\n" +
        menu() +
        "\nВыберите количество стоп-бит:\n1. 1 стоп-бит\n2. 2 стоп-бита\n"
        "\nВыберите (1-2): ✅ Стоп-биты установлены: Two\n" +
        menu() + "Введите скорость передачи (бод): ✅ Скорость установлена: 38400 бод\n" + menu() +
        "\n✅ Текущие настройки порта: COM3 @ 38400 бод, 7 бит данных, 2 стоп-бит, четная "
        "четность, программное поток\n";
    EXPECT_EQ(t.output(), expected);
}

TEST(PortSettingsDialog, AnswersOutsideTheListChangeNothing) {
    TestConsole t("2\n5\n3\n3\n4\n0\n5\n\n1\nabc\n1\n\n1\n-1\n1\n1 2\n1\n4294967296\n6\n");
    FakePort port;
    configure_port_settings(t.console, port);
    EXPECT_EQ(port.device().setter_calls, 0);
    EXPECT_EQ(count(t.output(), "❌ Ошибка: неверный выбор\n"), 4U);
    EXPECT_EQ(count(t.output(), "❌ Ошибка: введите корректное число\n"), 5U);
    EXPECT_TRUE(t.output().ends_with(kDefaultSummary));
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
        expected +=
            menu() +
            "⚠️ Неверный выбор. Пожалуйста, выберите 1-6\n";
    }
    expected += menu() + std::string(kDefaultSummary);
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
    EXPECT_TRUE(out.ends_with(kDefaultSummary));
}

TEST(PortSettingsDialog, SummaryFallsBackForAnUnnamedPortAndFailedQueries) {
    TestConsole t("6\n");
    FakePort port;
    port.device().name.reset();
    port.device().baud_rate = 115200;
    port.device().parity = Parity::Odd;
    port.device().query_error = SerialError{ErrorKind::NoDevice, IoKind::Other, "нет"};
    configure_port_settings(t.console, port);
    EXPECT_TRUE(t.output().ends_with(
        "\n✅ Текущие настройки порта: Неизвестный порт @ 9600 бод, 8 бит данных, 1 стоп-бит, нет "
        "четность, нет поток\n"));
}

TEST(PortSettingsDialog, EndOfInputLeavesWithTheSummary) {
    for (std::string script : {"", "2\n", "1\n"}) {
        TestConsole t(script);
        FakePort port;
        configure_port_settings(t.console, port);
        EXPECT_TRUE(t.output().ends_with(std::string(kMenu) + std::string(kDefaultSummary)))
            << script;
        EXPECT_EQ(port.device().setter_calls, 0);
    }
}

}  // namespace
}  // namespace portavik
