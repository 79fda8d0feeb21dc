// SPDX-License-Identifier: MIT

// What each system says about the line (Windows' ClearCommError flags,
// Linux's TIOCGICOUNT counters) to the lines a receiver prints.

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

Lines check(LostInputNotice& notice, const LineCounts& counts, int at_ms) {
    return notice.check(counts, LostInputNotice::Clock::time_point{} + std::chrono::milliseconds(at_ms),
                        [] { return std::optional<std::string>("38400 8N1"); });
}

TEST(LineErrors, WindowsFlagsToLines) {
    using namespace comm;
    struct Look {
        int at_ms;
        unsigned long flags;
        Lines lines;
    };
    const Look looks[] = {
        {10, kCeFrame, {errors("ошибок кадра — 1" + kMismatch)}},
        {20, kCeFrame | kCeRxParity, {}},
        {1010, kCeBreak,
         {errors("ошибок кадра — 1, ошибок чётности — 1, сигналов BREAK — 1" + kMismatch +
                 kBreak)}},
        {1100, kCeOverrun, {kOverrun}},
        {1200, kCeRxOver | kCeFrame, {}},
        {2300, 0, {kOverrun, errors("ошибок кадра — 1" + kMismatch)}},
        {2400, kCeBreak, {}},
        {4000, 0, {errors("сигналов BREAK — 1" + kBreak)}},
    };
    LineCounts counts;
    LostInputNotice notice;
    for (const Look& look : looks) {
        const LineCounts more = flag_counts({true, 0, look.flags, 0, 0});
        counts = {counts.overruns + more.overruns, counts.framing + more.framing,
                  counts.parity + more.parity, counts.breaks + more.breaks};
        EXPECT_EQ(check(notice, counts, look.at_ms), look.lines) << look.at_ms << " ms";
    }
}

TEST(LineErrors, LinuxCountersToLines) {
    struct Look {
        int at_ms;
        std::optional<DriverCounters> driver;  // frame, parity, brk, overrun, buf_overrun
        Lines lines;
    };
    const Look looks[] = {
        // At opening: what earlier openings left in the driver is not told.
        {0, DriverCounters{7, 0, 2, 1, 0}, {}},
        {20, DriverCounters{9, 0, 2, 1, 0}, {errors("ошибок кадра — 2" + kMismatch)}},
        {30, DriverCounters{12, 1, 2, 1, 0}, {}},
        // A query refused later loses nothing counted before.
        {1020, std::nullopt, {errors("ошибок кадра — 3, ошибок чётности — 1" + kMismatch)}},
        {1100, DriverCounters{12, 1, 2, 1, 4}, {kOverrun}},
        // A driver that reset its counters: nothing taken back, counted on from there.
        {2100, DriverCounters{0, 0, 0, 0, 0}, {}},
        {2200, DriverCounters{2, 0, 1, 0, 0},
         {errors("ошибок кадра — 2, сигналов BREAK — 1" + kMismatch + kBreak)}},
    };
    DriverTally tally;
    LostInputNotice notice;
    for (const Look& look : looks) {
        tally.look(look.driver);
        EXPECT_EQ(check(notice, tally.counts(), look.at_ms), look.lines) << look.at_ms << " ms";
    }
    // A pseudo-terminal refuses the query at opening: not asked again, nothing said.
    DriverTally pty;
    pty.look(std::nullopt);
    EXPECT_FALSE(pty.asking());
    EXPECT_EQ(check(notice, pty.counts(), 9000), Lines{});
}

TEST(LineErrors, TheLineInForceIsNamedWhenThePortCanSayIt) {
    LostInputNotice notice;
    EXPECT_EQ(notice.check({0, 0, 3, 0}, {}, [] { return std::optional<std::string>(); }),
              Lines{errors("ошибок чётности — 3. Вероятно, скорость или формат порта не "
                           "совпадают с настройками устройства")});
    EXPECT_EQ(line_code({9600, DataBits::Seven, StopBits::Two, Parity::Even, FlowControl::None}),
              "9600 7E2");
}

}  // namespace
}  // namespace portavik
