// SPDX-License-Identifier: MIT

// The entry's mode menu and both modes up to an open port.

#include <gtest/gtest.h>

#include "app/arguments.hpp"
#include "app/mode_menu.hpp"
#include "console/console.hpp"
#include "link/connect.hpp"
#include "standard/standard_mode.hpp"
#include "support/fake_platform.hpp"
#include "support/screens.hpp"
#include "tirk/tirk_mode.hpp"

namespace portavik {
namespace {

using testing::FakePlatform;
using testing::line_settings;
using testing::no_such_file;
using testing::screen;

// The fake platform's one port, listed.
std::string port_list() {
    return screen("port_list_heading") + "  1. COM3\n" + screen("port_prompt");
}

std::string failure() {
    return screen("open_failure", {{"port", "COM3"}, {"reason", "No such file or directory"}});
}

std::string connected(std::string_view settings) {
    return screen("connected", {{"port", "COM3"}, {"settings", settings}});
}

TEST(Entry, ChoosesTheModeByTheTrimmedAnswer) {
    // With no ports each mode ends right after the list, which tells them apart:
    // only the ТИРК mode registers a Ctrl+C handler.
    for (auto [answer, tirk] : {std::pair{"2\n", true}, {" 2 \n", true}, {"1\r\n", false}}) {
        FakePlatform fake(answer, {});
        auto platform = fake.platform();
        portavik::main(platform);
        EXPECT_EQ(fake.output(),
                  screen("mode_menu") + screen("no_ports") + screen("no_port_chosen"))
            << answer;
        EXPECT_EQ(static_cast<bool>(fake.ctrl_c_handler), tirk) << answer;
    }
}

TEST(Entry, AnythingElseIsWarnedOnceAndEnds) {
    for (std::string answer : {"01\n", "1.\n", "word\n", "\n", "3\n", ""}) {
        FakePlatform fake(answer);
        auto platform = fake.platform();
        portavik::main(platform);
        EXPECT_EQ(fake.output(),
                  screen("mode_menu") + screen("invalid_choice", {{"choices", "1 или 2"}}))
            << answer;
    }
}

TEST(Entry, ACommandLineAnswerPutsTheConsoleModesBackAfterItsLastWord) {
    class Sink final : public ByteSink {
      public:
        Sink(std::vector<std::string>& log, bool fails) : log_(log), fails_(fails) {}
        bool write(std::string_view bytes) override {
            log_.emplace_back(bytes);
            return !fails_;
        }

      private:
        std::vector<std::string>& log_;
        bool fails_;
    };
    // Also after a write that failed.
    for (const auto& [arg, fails, status] :
         {std::tuple{"--version", false, 0}, {"--version", true, 1}, {"--bogus", false, 2}}) {
        std::vector<std::string> log;
        Sink out(log, fails);
        Sink err(log, false);
        const auto answer = answer_command_line(std::vector<std::string>{arg}, "1.2.3");
        EXPECT_EQ(print_answer(*answer, out, err, [&log] { log.emplace_back("put back"); }),
                  status);
        EXPECT_EQ(log.size(), 2U) << arg;
        EXPECT_EQ(log.back(), "put back") << arg;
    }
}

TEST(Entry, UnreadableAnswerEndsSilently) {
    FakePlatform fake("\xff\xff\n1\n");
    auto platform = fake.platform();
    portavik::main(platform);
    EXPECT_EQ(fake.output(), screen("mode_menu"));
}

TEST(StandardStartup, DefaultsThenOpensAt38400With50msAndAnnounces) {
    FakePlatform fake("1\nn\n");
    auto platform = fake.platform();
    run_original_version(platform);
    ASSERT_EQ(fake.opened_with.size(), 1U);
    EXPECT_EQ(fake.opened_with[0],
              PortSettings("COM3", 38400).timeout(std::chrono::milliseconds(50)));
    const std::string expected = port_list() + screen("standard_defaults") +
                                 connected(line_settings("38400")) + screen("ready");
    // The command loop follows; input has ended, so it leaves at once.
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
    EXPECT_TRUE(fake.output().ends_with(screen("goodbye"))) << fake.output();
}

TEST(StandardStartup, BannerShowsWhatTheDeviceReportsOrTheFallbacks) {
    FakePlatform fake("1\nn\n");
    fake.device->query_error = SerialError{ErrorKind::Unknown, IoKind::Other, "нет"};
    auto platform = fake.platform();
    run_original_version(platform);
    EXPECT_NE(fake.output().find(connected(line_settings("38400"))), std::string::npos);
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
    const std::string menu = screen("settings_menu_before_open");
    const std::string expected =
        port_list() + screen("standard_defaults") + menu + screen("baud_prompt") +
        "✅ Скорость установлена: 57600 бод\n" + menu + screen("data_bits_dialog") +
        "✅ Биты данных установлены: Seven\n" + menu + screen("stop_bits_dialog") +
        "✅ Стоп-биты установлены: Two\n" + menu + screen("parity_dialog") +
        "✅ Четность установлена: Odd\n" + menu + screen("flow_dialog") +
        "✅ Управление потоком установлено: Hardware\n" + menu +
        connected(line_settings("57600", "7", "2", "нечетная", "аппаратное"));
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
    EXPECT_EQ(count(screen("invalid_choice", {{"choices", "1-6"}})), 2U);
    EXPECT_EQ(count("❌ Ошибка: введите корректное число\n"), 4U);
    EXPECT_EQ(count("❌ Ошибка: неверный выбор\n"), 2U);
    EXPECT_EQ(count("✅ Скорость установлена: 0 бод\n"), 1U);
}

TEST(StandardStartup, OnlyYOpensTheDialog) {
    for (std::string answer : {"yes\n", "n\n", "\n", "д\n"}) {
        FakePlatform fake("1\n" + answer);
        auto platform = fake.platform();
        run_original_version(platform);
        EXPECT_EQ(fake.output().find(screen("settings_menu_before_open")), std::string::npos)
            << answer;
        EXPECT_EQ(fake.opened_with.size(), 1U);
    }
}

TEST(StandardStartup, FailedOpenOffersAnotherPortFromTheDefaults) {
    FakePlatform fake("1\ny\n1\n115200\n6\nmaybe\n Y \n1\nn\n");
    fake.open_failures.push_back(no_such_file());
    auto platform = fake.platform();
    run_original_version(platform);
    ASSERT_EQ(fake.opened_with.size(), 2U);
    EXPECT_EQ(fake.opened_with[0].line().baud_rate, 115200U);
    EXPECT_EQ(fake.opened_with[1].line().baud_rate, 38400U);
    const std::string menu = screen("settings_menu_before_open");
    const std::string expected =
        port_list() + screen("standard_defaults") + menu + screen("baud_prompt") +
        "✅ Скорость установлена: 115200 бод\n" + menu + failure() + screen("retry_question") +
        "Пожалуйста, введите 'y' или 'n'\n" + screen("retry_question") + port_list() +
        screen("standard_defaults") + connected(line_settings("38400"));
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
}

TEST(FailureDialog, NoEndsTheModeWithAGoodbye) {
    for (std::string answer : {"n\n", "N\n", "  n  \n", ""}) {
        FakePlatform fake("1\nn\n" + answer);
        fake.open_failures.push_back(no_such_file());
        auto platform = fake.platform();
        run_original_version(platform);
        EXPECT_EQ(fake.output(), port_list() + screen("standard_defaults") + failure() +
                                     screen("retry_question") + screen("goodbye"))
            << answer;
    }
}

TEST(FailureDialog, UnreadableAnswerAsksAgainSilently) {
    testing::TestConsole t("\xff\ny\n");
    EXPECT_TRUE(handle_port_error(t.console, "COM3", no_such_file()));
    EXPECT_EQ(t.output(), failure() + screen("retry_question") + screen("retry_question"));
}

TEST(TirkStartup, RegistersCtrlCFirstThenOpensAt9600AndShowsTheSettingsBlock) {
    FakePlatform fake("1\n");
    auto platform = fake.platform();
    main_tirk::main(platform);
    ASSERT_TRUE(fake.ctrl_c_handler);
    ASSERT_EQ(fake.opened_with.size(), 1U);
    EXPECT_EQ(fake.opened_with[0],
              PortSettings("COM3", 9600).timeout(std::chrono::milliseconds(50)));
    const std::string expected = port_list() + connected(line_settings("9600")) + screen("ready") +
                                 screen("tirk_settings_block");
    EXPECT_TRUE(fake.output().starts_with(expected)) << fake.output();
}

TEST(TirkStartup, FailedQueriesShowFallbacksInTheBannerAndErrInTheBlock) {
    FakePlatform fake("1\n");
    fake.device->query_error = SerialError{ErrorKind::Io, IoKind::NotFound, "No such device"};
    auto platform = fake.platform();
    main_tirk::main(platform);
    const std::string out = fake.output();
    EXPECT_NE(out.find(connected(line_settings("9600"))), std::string::npos);
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
    EXPECT_TRUE(fake.output().starts_with(port_list() + failure() + screen("retry_question") +
                                          port_list() + connected(line_settings("9600"))))
        << fake.output();
}

TEST(TirkStartup, NoPortEndsTheMode) {
    FakePlatform fake("", {});
    auto platform = fake.platform();
    main_tirk::main(platform);
    EXPECT_EQ(fake.output(), screen("no_ports") + screen("no_port_chosen"));
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
    const std::string kCtrlC = screen("ctrl_c_goodbye");
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
        {"at the port prompt", "", false, false, kCtrlC, {0}},
        // Input that ends while the handler runs leaves the menu as item 4
        // does; its goodbye must not follow the handler's words.
        {"at the menu, whose read then ends",
         "1\n",
         true,
         false,
         "\nВыберите действие (1-4): " + kCtrlC,
         {0}},
        {"after the program ended by itself", "1\n4\n", false, true, screen("goodbye"), {}},
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
