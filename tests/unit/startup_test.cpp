// The entry's mode menu and both modes up to an open port.

#include <gtest/gtest.h>

#include "app/mode_menu.hpp"
#include "session/connect.hpp"
#include "standard/standard_mode.hpp"
#include "support/fake_platform.hpp"
#include "tirk/tirk_mode.hpp"

namespace portavik {
namespace {

using testing::FakePlatform;
using testing::no_such_file;

constexpr std::string_view kModeMenu =
    "=== Portavik ===\n1. Стандартная версия\n2. Версия с командами ТИРК\n\nВыберите версию "
    "(1-2): ";
constexpr std::string_view kInvalidMode =
    "⚠️ Неверный выбор. Пожалуйста, выберите 1 или 2\n";
constexpr std::string_view kPortList = "\n🔌 Доступные порты:\n  1. COM3\n\nВведите номер порта: ";
constexpr std::string_view kDefaults =
    "\n⚙️ Настройки порта по умолчанию:\n"
    "   • Скорость: 38400 бод\n"
    "   • Биты данных: 8\n"
    "   • Стоп-биты: 1\n"
    "   • Четность: Нет\n"
    "   • Управление потоком: Нет\n"
    "\nХотите изменить настройки? (y/n): ";
constexpr std::string_view kPreOpenMenu =
    "\n=== 📋 Настройки порта ===\n"
    "1. Скорость передачи (бод)\n"
    "2. Биты данных\n"
    "3. Стоп-биты\n"
    "4. Четность\n"
    "5. Управление потоком\n"
    "6. Применить настройки и открыть порт\n"
    "\nВыберите настройку (1-6): ";
constexpr std::string_view kFailure =
    "\n❌ Ошибка открытия порта COM3: No such file or directory\n"
    "💡 Возможные причины:\n"
    "   - Порт используется другой программой\n"
    "   - Недостаточно прав доступа\n"
    "   - Устройство было отключено\n";
constexpr std::string_view kRetry = "\nПопробовать выбрать другой порт? (y/n): ";
constexpr std::string_view kNoPort = "❌ Выход: последовательный порт не выбран!\n";

std::string str(std::string_view s) {
    return std::string(s);
}

TEST(Entry, ChoosesTheModeByTheTrimmedAnswer) {
    // With no ports each mode ends right after the list, which tells them apart:
    // only the ТИРК mode registers a Ctrl+C handler.
    for (auto [answer, tirk] : {std::pair{"2\n", true}, {" 2 \n", true}, {"1\r\n", false}}) {
        FakePlatform fake(answer, {});
        auto platform = fake.platform();
        portavik::main(platform);
        EXPECT_EQ(fake.output(),
                  str(kModeMenu) + "❌ Нет доступных последовательных портов!\n" + str(kNoPort))
            << answer;
        EXPECT_EQ(static_cast<bool>(fake.ctrl_c_handler), tirk) << answer;
    }
}

TEST(Entry, AnythingElseIsWarnedOnceAndEnds) {
    for (std::string answer : {"01\n", "1.\n", "word\n", "\n", "3\n", ""}) {
        FakePlatform fake(answer);
        auto platform = fake.platform();
        portavik::main(platform);
        EXPECT_EQ(fake.output(), str(kModeMenu) + str(kInvalidMode)) << answer;
    }
}

TEST(Entry, UnreadableAnswerEndsSilently) {
    FakePlatform fake("\xff\xff\n1\n");
    auto platform = fake.platform();
    portavik::main(platform);
    EXPECT_EQ(fake.output(), kModeMenu);
}

TEST(StandardStartup, DefaultsThenOpensAt38400With50msAndAnnounces) {
    FakePlatform fake("1\nn\n");
    auto platform = fake.platform();
    run_original_version(platform);
    ASSERT_EQ(fake.opened_with.size(), 1U);
    EXPECT_EQ(fake.opened_with[0],
              PortSettings("COM3", 38400).timeout(std::chrono::milliseconds(50)));
    const std::string expected =
        str(kPortList) + str(kDefaults) +
        "\n✅ Соединение установлено: Порт 📌: COM3 @ 38400 бод, 8 бит данных, 1 стоп-бит, нет "
        "четность, нет поток\n"
        "\n🔄 Эмулятор готов к работе.\n";
    // The command loop follows; input has ended, so it leaves at once.
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
    EXPECT_TRUE(fake.output().ends_with("\n👋 До свидания!\n")) << fake.output();
}

TEST(StandardStartup, BannerShowsWhatTheDeviceReportsOrTheFallbacks) {
    FakePlatform fake("1\nn\n");
    fake.device->query_error = SerialError{ErrorKind::Unknown, IoKind::Other, "нет"};
    auto platform = fake.platform();
    run_original_version(platform);
    EXPECT_NE(fake.output().find("Порт 📌: COM3 @ 38400 бод, 8 бит данных, 1 стоп-бит, нет "
                                 "четность, нет поток\n"),
              std::string::npos);
}

TEST(StandardStartup, PreOpenDialogEditsWhatIsOpened) {
    FakePlatform fake("1\nY\n1\n+57600\n2\n3\n3\n2\n4\n3\n5\n2\n6\n");
    auto platform = fake.platform();
    run_original_version(platform);
    ASSERT_EQ(fake.opened_with.size(), 1U);
    EXPECT_EQ(fake.opened_with[0], PortSettings("COM3", 57600)
                                       .data_bits(DataBits::Seven)
                                       .stop_bits(StopBits::Two)
                                       .parity(Parity::Odd)
                                       .flow_control(FlowControl::Hardware)
                                       .timeout(std::chrono::milliseconds(50)));
    const std::string expected =
        str(kPortList) + str(kDefaults) + str(kPreOpenMenu) +
        "Введите скорость передачи (бод): ✅ Скорость установлена: 57600 бод\n" + str(kPreOpenMenu) +
        "\nВыберите количество бит данных:\n1. 5 бит\n2. 6 бит\n3. 7 бит\n4. 8 бит\n"
        "\nВыберите (1-4): ✅ Биты данных установлены: Seven\n" +
        str(kPreOpenMenu) +
        "\nВыберите количество стоп-бит:\n1. 1 стоп-бит\n2. 2 стоп-бита\n"
        "\nВыберите (1-2): ✅ Стоп-биты установлены: Two\n" +
        str(kPreOpenMenu) +
        "\nВыберите четность:\n1. Нет\n2. Четная\n3. Нечетная\n"
        "\nВыберите (1-3): ✅ Четность установлена: Odd\n" +
        str(kPreOpenMenu) +
        "\nВыберите управление потоком:\n1. Нет\n2. Аппаратное\n3. Программное\n"
        "\nВыберите (1-3): ✅ Управление потоком установлено: Hardware\n" +
        str(kPreOpenMenu) +
        "\n✅ Соединение установлено: Порт 📌: COM3 @ 57600 бод, 7 бит данных, 2 стоп-бит, "
        "нечетная четность, аппаратное поток\n";
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
}

TEST(StandardStartup, PreOpenDialogRefusesBadAnswersAndChangesNothing) {
    FakePlatform fake("1\ny\n7\n\n1\nabc\n1\n-5\n1\n4294967296\n1\n1 2\n2\n5\n3\n3\n1\n0\n6\n");
    auto platform = fake.platform();
    run_original_version(platform);
    ASSERT_EQ(fake.opened_with.size(), 1U);
    // Only the baud rate 0 was valid: it is accepted and handed to the opener.
    EXPECT_EQ(fake.opened_with[0], PortSettings("COM3", 0).timeout(std::chrono::milliseconds(50)));
    const std::string out = fake.output();
    auto count = [&out](std::string_view what) {
        std::size_t n = 0;
        for (auto at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(
        count("⚠️ Неверный выбор. Пожалуйста, выберите 1-6\n"),
        2U);
    EXPECT_EQ(count("❌ Ошибка: введите корректное число\n"), 4U);
    EXPECT_EQ(count("❌ Ошибка: неверный выбор\n"), 2U);
    EXPECT_EQ(count("✅ Скорость установлена: 0 бод\n"), 1U);
}

TEST(StandardStartup, OnlyYOpensTheDialog) {
    for (std::string answer : {"yes\n", "n\n", "\n", "д\n"}) {
        FakePlatform fake("1\n" + answer);
        auto platform = fake.platform();
        run_original_version(platform);
        EXPECT_EQ(fake.output().find("=== 📋 Настройки порта ==="), std::string::npos) << answer;
        EXPECT_EQ(fake.opened_with.size(), 1U);
    }
}

TEST(StandardStartup, FailedOpenOffersAnotherPortFromTheDefaults) {
    FakePlatform fake("1\ny\n1\n115200\n6\nmaybe\n Y \n1\nn\n");
    fake.open_failures.push_back(no_such_file());
    auto platform = fake.platform();
    run_original_version(platform);
    ASSERT_EQ(fake.opened_with.size(), 2U);
    EXPECT_EQ(fake.opened_with[0].baud_rate(), 115200U);
    EXPECT_EQ(fake.opened_with[1].baud_rate(), 38400U);
    const std::string expected = str(kPortList) + str(kDefaults) + str(kPreOpenMenu) +
                                 "Введите скорость передачи (бод): ✅ Скорость установлена: "
                                 "115200 бод\n" +
                                 str(kPreOpenMenu) + str(kFailure) + str(kRetry) +
                                 "Пожалуйста, введите 'y' или 'n'\n" + str(kRetry) +
                                 str(kPortList) + str(kDefaults) +
                                 "\n✅ Соединение установлено: Порт 📌: COM3 @ 38400 бод";
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
}

TEST(FailureDialog, NoEndsTheModeWithAGoodbye) {
    for (std::string answer : {"n\n", "N\n", "  n  \n", ""}) {
        FakePlatform fake("1\nn\n" + answer);
        fake.open_failures.push_back(no_such_file());
        auto platform = fake.platform();
        run_original_version(platform);
        EXPECT_EQ(fake.output(), str(kPortList) + str(kDefaults) + str(kFailure) + str(kRetry) +
                                     "\n👋 До свидания!\n")
            << answer;
    }
}

TEST(FailureDialog, UnreadableAnswerAsksAgainSilently) {
    testing::TestConsole t("\xff\ny\n");
    EXPECT_TRUE(handle_port_error(t.console, "COM3", no_such_file()));
    EXPECT_EQ(t.output(), str(kFailure) + str(kRetry) + str(kRetry));
}

TEST(TirkStartup, RegistersCtrlCFirstThenOpensAt9600AndShowsTheSettingsBlock) {
    FakePlatform fake("1\n");
    auto platform = fake.platform();
    main_tirk::main(platform);
    ASSERT_TRUE(fake.ctrl_c_handler);
    ASSERT_EQ(fake.opened_with.size(), 1U);
    EXPECT_EQ(fake.opened_with[0],
              PortSettings("COM3", 9600).timeout(std::chrono::milliseconds(50)));
    const std::string expected =
        str(kPortList) +
        "\n✅ Соединение установлено: Порт 📌: COM3 @ 9600 бод, 8 бит данных, 1 стоп-бит, нет "
        "четность, нет поток\n"
        "\n🔄 Эмулятор готов к работе.\n"
        "\n=== ТЕКУЩИЕ НАСТРОЙКИ ПОРТА ===\n"
        "Таймаут чтения/записи: 50ms\n"
        "Скорость: Ok(9600) бод\n"
        "Биты данных: Ok(Eight)\n"
        "Стоп-биты: Ok(One)\n"
        "Четность: Ok(None)\n"
        "Управление потоком: Ok(None)\n"
        "================================\n\n";
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
}

TEST(TirkStartup, FailedQueriesShowFallbacksInTheBannerAndErrInTheBlock) {
    FakePlatform fake("1\n");
    fake.device->query_error = SerialError{ErrorKind::Io, IoKind::NotFound, "No such device"};
    auto platform = fake.platform();
    main_tirk::main(platform);
    const std::string out = fake.output();
    EXPECT_NE(out.find("COM3 @ 9600 бод, 8 бит данных, 1 стоп-бит, нет четность, нет поток\n"),
              std::string::npos);
    EXPECT_NE(out.find("Скорость: Err(Error { kind: Io(NotFound), description: \"No such "
                       "device\" }) бод\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Управление потоком: Err(Error { kind: Io(NotFound)"), std::string::npos);
}

TEST(TirkStartup, FailedOpenUsesTheSameDialogAndListsAgain) {
    FakePlatform fake("1\ny\n1\n");
    fake.open_failures.push_back(no_such_file());
    auto platform = fake.platform();
    main_tirk::main(platform);
    EXPECT_EQ(fake.opened_with.size(), 2U);
    EXPECT_TRUE(fake.output().starts_with(str(kPortList) + str(kFailure) + str(kRetry) +
                                          str(kPortList) + "\n✅ Соединение установлено"))
        << fake.output();
}

TEST(TirkStartup, NoPortEndsTheMode) {
    FakePlatform fake("", {});
    auto platform = fake.platform();
    main_tirk::main(platform);
    EXPECT_EQ(fake.output(), "❌ Нет доступных последовательных портов!\n" + str(kNoPort));
}

TEST(TirkStartup, RefusedCtrlCHandlerIsFatal) {
    FakePlatform fake("1\n");
    fake.accept_ctrl_c = false;
    auto platform = fake.platform();
    try {
        main_tirk::main(platform);
        FAIL() << "no fatal stop";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), "Ошибка установки обработчика Ctrl+C");
    }
    EXPECT_TRUE(fake.opened_with.empty());
}

TEST(TirkStartup, CtrlCHandlerEndsTheProgramUnlessAnotherWayOutCameFirst) {
    constexpr std::string_view kCtrlC = "\n👋 Программа завершена пользователем (Ctrl+C)\n";
    struct Case {
        std::string name;
        std::string script;
        // Runs when the script is used up: the interrupt arrives there.
        bool ctrl_c_at_the_end_of_input;
        // The main thread's own end, claimed before the interrupt comes.
        bool main_ended_first;
        std::string output_ends_with;
        std::vector<int> exits;
    };
    const Case cases[] = {
        {"at the port prompt", "", false, false, str(kCtrlC), {0}},
        // Input that ends while the handler runs leaves the menu as item 4
        // does; its goodbye must not follow the handler's words.
        {"at the menu, whose read then ends",
         "1\n",
         true,
         false,
         "\nВыберите действие (1-4): " + str(kCtrlC),
         {0}},
        {"after the program ended by itself", "1\n4\n", false, true, "\n👋 До свидания!\n", {}},
    };
    for (const Case& c : cases) {
        FakePlatform fake(c.script);
        if (c.ctrl_c_at_the_end_of_input) {
            fake.io.in.before_end = [&fake] { fake.ctrl_c_handler(); };
        }
        auto platform = fake.platform();
        main_tirk::main(platform);
        ASSERT_TRUE(fake.ctrl_c_handler) << c.name;
        if (c.main_ended_first) {
            EXPECT_TRUE(fake.io.console.claim_end()) << c.name;
        }
        if (!c.ctrl_c_at_the_end_of_input) {
            fake.ctrl_c_handler();
        }
        EXPECT_TRUE(fake.output().ends_with(c.output_ends_with)) << c.name << fake.output();
        EXPECT_EQ(fake.exit_statuses, c.exits) << c.name;
    }
}

}  // namespace
}  // namespace portavik
