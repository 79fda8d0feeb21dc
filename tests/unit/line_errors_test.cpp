// SPDX-License-Identifier: MIT

// What the driver reports about the line, as each system gives it, to the
// lines a receiver prints: Windows' ClearCommError flags and Linux's
// TIOCGICOUNT counters, both through the same notice.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "serial/comm_rules.hpp"
#include "serial/driver_counters.hpp"
#include "serial/lost_input.hpp"

namespace portavik {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

const std::string kOverrun =
    "⚠️ Данные от устройства потеряны: переполнился буфер приёма порта. Помогут управление "
    "потоком или меньшая скорость";
const std::string kMismatch =
    ". Вероятно, скорость или формат порта (38400 8N1) не совпадают с настройками устройства";
const std::string kBreak =
    ". Устройство передало сигнал BREAK, или линия приёма удерживается в низком уровне";

std::string errors(const std::string& counts) {
    return "⚠️ Сбои на линии приёма: " + counts;
}

LostInputNotice::Clock::time_point at(int ms) {
    return LostInputNotice::Clock::time_point{} + milliseconds(ms);
}

std::optional<std::string> settings_in_force() {
    return "38400 8N1";
}

TEST(LineErrors, WindowsFlagsToLines) {
    using namespace comm;
    struct Look {
        int at_ms;
        bool ok;  // ClearCommError succeeded
        unsigned long flags;
        Lines lines;
    };
    const Look looks[] = {
        {0, true, 0, {}},
        {10, true, kCeFrame, {errors("ошибок кадра — 1" + kMismatch)}},
        {20, true, kCeFrame | kCeRxParity, {}},
        {500, false, kCeFrame, {}},  // a failed call clears nothing
        {600, true, kCeFrame, {}},
        {1009, true, 0, {}},
        {1010, true, kCeBreak,
         {errors("ошибок кадра — 2, ошибок чётности — 1, сигналов BREAK — 1" + kMismatch +
                 kBreak)}},
        {1100, true, kCeOverrun, {kOverrun}},
        {1200, true, kCeRxOver | kCeFrame, {}},
        {2300, true, 0, {kOverrun, errors("ошибок кадра — 1" + kMismatch)}},
        {2400, true, kCeBreak, {}},
        {4000, true, 0, {errors("сигналов BREAK — 1" + kBreak)}},
        {9000, true, 0, {}},
    };
    LineCounts counts;
    LostInputNotice notice;
    for (const Look& look : looks) {
        const LineCounts more = flag_counts({look.ok, 0, look.flags, 0, 0});
        counts.overruns += more.overruns;
        counts.framing += more.framing;
        counts.parity += more.parity;
        counts.breaks += more.breaks;
        EXPECT_EQ(notice.check(counts, at(look.at_ms), settings_in_force), look.lines)
            << "at " << look.at_ms << " ms";
    }
}

TEST(LineErrors, LinuxCountersToLines) {
    struct Look {
        int at_ms;
        std::optional<DriverCounters> driver;  // nothing: the query refused
        Lines lines;
    };
    const auto counters = [](long long frame, long long parity, long long brk, long long overrun,
                             long long buf_overrun) {
        return std::optional(DriverCounters{frame, parity, brk, overrun, buf_overrun});
    };
    const Look looks[] = {
        // At opening: what earlier openings left in the driver is not told.
        {0, counters(7, 0, 2, 1, 0), {}},
        {10, counters(7, 0, 2, 1, 0), {}},
        {20, counters(9, 0, 2, 1, 0), {errors("ошибок кадра — 2" + kMismatch)}},
        {30, counters(12, 1, 2, 1, 0), {}},
        // A query refused now and then loses nothing counted before.
        {1020, std::nullopt, {errors("ошибок кадра — 3, ошибок чётности — 1" + kMismatch)}},
        {1100, counters(12, 1, 2, 1, 4), {kOverrun}},
        // A driver that reset its counters: nothing is taken back ...
        {2100, counters(0, 0, 0, 0, 0), {}},
        // ... and it counts on from there.
        {2200, counters(2, 0, 1, 0, 0), {errors("ошибок кадра — 2, сигналов BREAK — 1" +
                                                kMismatch + kBreak)}},
        {2300, counters(2, 0, 1, 0, 0), {}},
    };
    DriverTally tally;
    LostInputNotice notice;
    for (const Look& look : looks) {
        tally.look(look.driver);
        EXPECT_TRUE(tally.asking());
        EXPECT_EQ(notice.check(tally.counts(), at(look.at_ms), settings_in_force), look.lines)
            << "at " << look.at_ms << " ms";
    }

    // A pseudo-terminal refuses the query at opening: not asked again, and
    // nothing is said.
    DriverTally pty;
    pty.look(std::nullopt);
    EXPECT_FALSE(pty.asking());
    EXPECT_EQ(pty.counts(), LineCounts{});
    EXPECT_EQ(notice.check(pty.counts(), at(9000), settings_in_force), Lines{});
}

TEST(LineErrors, TheLineInForceIsNamedWhenThePortCanSayIt) {
    LostInputNotice notice;
    EXPECT_EQ(notice.check({0, 0, 3, 0}, at(0), [] { return std::optional<std::string>(); }),
              Lines{errors("ошибок чётности — 3. Вероятно, скорость или формат порта не "
                           "совпадают с настройками устройства")});
    struct Case {
        LineSettings line;
        const char* code;
    };
    const Case cases[] = {
        {{38400, DataBits::Eight, StopBits::One, Parity::None, FlowControl::None}, "38400 8N1"},
        {{9600, DataBits::Seven, StopBits::Two, Parity::Even, FlowControl::Hardware}, "9600 7E2"},
        {{250000, DataBits::Five, StopBits::One, Parity::Odd, FlowControl::Software},
         "250000 5O1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(line_code(c.line), c.code);
    }
}

}  // namespace
}  // namespace portavik
