// SPDX-License-Identifier: MIT

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "serial/line_timing.hpp"
#include "serial/natural_order.hpp"
#include "serial/readback.hpp"
#include "serial/write_stall.hpp"

namespace portavik {
namespace {

using std::chrono::nanoseconds;

TEST(SerialNaturalOrder, SortsPortNamesByNumberValue) {
    std::vector<std::string> names = {"ttyS10",   "ttyUSB0", "ttyS2",    "ttyACM1", "ttyS1",
                                      "ttyACM10", "ttyS",    "ttyUSB11", "ttyUSB2"};
    std::sort(names.begin(), names.end(), natural_less);
    const std::vector<std::string> expected = {"ttyACM1", "ttyACM10", "ttyS",    "ttyS1",   "ttyS2",
                                               "ttyS10",  "ttyUSB0",  "ttyUSB2", "ttyUSB11"};
    EXPECT_EQ(names, expected);

    std::vector<std::string> paths = {"/dev/ttyS10", "/dev/ttyV1", "/dev/ttyS2", "/dev/ttyV0"};
    std::sort(paths.begin(), paths.end(), natural_less);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyV0", "/dev/ttyV1"}));
}

TEST(SerialNaturalOrder, IsAStrictOrderEvenForLongAndZeroPaddedNumbers) {
    // Longer than any integer type: must compare by digits, not overflow.
    EXPECT_TRUE(natural_less("tty99999999999999999999", "tty100000000000000000000"));
    EXPECT_FALSE(natural_less("tty100000000000000000000", "tty99999999999999999999"));
    EXPECT_TRUE(natural_less("tty007", "tty10"));
    // Same value, different padding: ordered one way only, never both or neither.
    EXPECT_NE(natural_less("tty01", "tty1"), natural_less("tty1", "tty01"));
    EXPECT_FALSE(natural_less("ttyS2", "ttyS2"));
}

TEST(SerialLineTiming, FrameCountsStartDataParityAndStopBits) {
    EXPECT_EQ(detail::frame_bits(DataBits::Eight, Parity::None, StopBits::One), 10U);
    EXPECT_EQ(detail::frame_bits(DataBits::Seven, Parity::Even, StopBits::Two), 11U);
    EXPECT_EQ(detail::frame_bits(DataBits::Five, Parity::None, StopBits::One), 7U);
    EXPECT_EQ(detail::frame_bits(DataBits::Eight, Parity::Odd, StopBits::Two), 12U);
}

TEST(SerialLineTiming, WireTimeFollowsBaudAndSaturates) {
    // 960 frames of 10 bits at 9600 baud: exactly one second.
    EXPECT_EQ(detail::wire_time(960, 9600, 10), nanoseconds(1'000'000'000));
    // 1 MiB at 4 Mbaud, 11-bit frames: 2.883584 s, not truncated to whole seconds.
    EXPECT_EQ(detail::wire_time(1 << 20, 4'000'000, 11), nanoseconds(2'883'584'000));
    EXPECT_EQ(detail::wire_time(1, 3, 10), nanoseconds(3'333'333'333));
    EXPECT_EQ(detail::wire_time(100, 0, 10), nanoseconds(0));
    EXPECT_EQ(detail::wire_time(0, 9600, 10), nanoseconds(0));
    // 2^32 bytes at 50 baud: a naive bytes * bits * 1e9 overflows 64 bits.
    EXPECT_EQ(detail::wire_time(1ULL << 32, 50, 10), nanoseconds(858'993'459'200'000'000LL));
    EXPECT_EQ(detail::wire_time(~0ULL, 50, 12), nanoseconds::max());
}

TEST(SerialWriteStall, FailsOnlyAfterAGraceSecondWithoutProgressPlusTheQueuedWireTime) {
    using Clock = detail::WriteStall::Clock;
    using std::chrono::milliseconds;
    struct Look {
        int at_ms;
        std::size_t accepted;
        std::size_t queued;
        bool expired;  // right after this look
    };
    struct Case {
        const char* name;
        std::vector<Look> looks;
    };
    // 9600 baud, 10-bit frames: 96 queued bytes take 100 ms on the wire, 70 take 72.9 ms.
    const Case cases[] = {
        {"nothing ever taken", {{0, 0, 0, false}, {999, 0, 0, false}, {1000, 0, 0, true}}},
        {"each accepted byte starts the grace anew",
         {{0, 0, 0, false},
          {900, 10, 0, false},
          {1800, 20, 0, false},
          {2799, 20, 0, false},
          {2800, 20, 0, true}}},
        {"a queue that drains is progress",
         {{0, 50, 96, false},
          {900, 50, 80, false},
          {1800, 50, 70, false},
          {2872, 50, 70, false},
          {2873, 50, 70, true}}},
        {"a queue that stays full is not",
         {{0, 50, 96, false}, {1099, 50, 96, false}, {1100, 50, 96, true}}},
        {"a growing queue is not progress by itself",
         {{0, 50, 0, false}, {500, 50, 96, false}, {1000, 50, 96, true}}},
    };
    for (const Case& c : cases) {
        const Clock::time_point start{};
        detail::WriteStall stall(9600, 10, start);
        for (const Look& look : c.looks) {
            const auto now = start + milliseconds(look.at_ms);
            stall.observe(look.accepted, look.queued, now);
            EXPECT_EQ(stall.expired(now), look.expired) << c.name << " at " << look.at_ms << " ms";
            EXPECT_EQ(stall.left(now) == Clock::duration::zero(), look.expired) << c.name;
        }
    }
    // A day of queued bytes at 50 baud cannot overflow the allowance.
    detail::WriteStall slow(50, 12, Clock::time_point{});
    slow.observe(0, ~std::size_t{0} / 2, Clock::time_point{});
    EXPECT_FALSE(slow.expired(Clock::time_point{} + std::chrono::hours(23)));
}

TEST(SerialReadBack, ARefusalNamesTheValueAskedForAndTheOneInForce) {
    const LineSettings in_force{.baud_rate = 38400};
    const auto with = [&](auto field, auto value) {
        LineSettings wanted = in_force;
        wanted.*field = value;
        return wanted;
    };
    struct Case {
        LineSettings wanted;
        std::string_view refusal;  // empty: kept
    };
    const Case cases[] = {
        {in_force, ""},
        // Within 2 %: a divisor's rounding, the line works.
        {with(&LineSettings::baud_rate, 38900U), ""},
        {with(&LineSettings::baud_rate, 250000U),
         "устройство не приняло скорость 250000 бод (действует 38400)"},
        {with(&LineSettings::data_bits, DataBits::Seven),
         "устройство не приняло 7 бит данных (действует 8)"},
        {with(&LineSettings::stop_bits, StopBits::Two),
         "устройство не приняло 2 стоп-бита (действует 1)"},
        {with(&LineSettings::parity, Parity::Even),
         "устройство не приняло контроль чётности «чётный» (действует «нет»)"},
        {with(&LineSettings::parity, Parity::Odd),
         "устройство не приняло контроль чётности «нечётный» (действует «нет»)"},
        {with(&LineSettings::flow_control, FlowControl::Hardware),
         "устройство не приняло управление потоком «аппаратное» (действует «нет»)"},
        // Of several, the first in the settings dialog's order.
        {{38400, DataBits::Eight, StopBits::Two, Parity::Odd, FlowControl::Software},
         "устройство не приняло контроль чётности «нечётный» (действует «нет»)"},
    };
    for (const Case& c : cases) {
        const SerialResult<void> confirmed = detail::confirm(in_force, c.wanted);
        if (c.refusal.empty()) {
            EXPECT_TRUE(confirmed) << confirmed.error().description;
            continue;
        }
        ASSERT_FALSE(confirmed) << c.refusal;
        EXPECT_EQ(confirmed.error().kind, ErrorKind::InvalidInput);
        EXPECT_EQ(confirmed.error().description, c.refusal);
    }

    // A read-back that failed is the outcome; so is a write that failed
    // otherwise than by taking none of the change.
    const SerialError gone{ErrorKind::NoDevice, IoKind::Other, "устройство отключено"};
    const SerialError none_taken{ErrorKind::InvalidInput, IoKind::Other, "Invalid argument"};
    const SerialResult<LineSettings> unread = std::unexpected(gone);
    EXPECT_EQ(detail::confirm(unread, in_force).error().description, gone.description);
    const SerialResult<void> ok;
    const SerialResult<void> refused =
        detail::confirm(in_force, with(&LineSettings::data_bits, DataBits::Seven));
    EXPECT_EQ(detail::settle(std::unexpected(gone), refused).error().description, gone.description);
    EXPECT_EQ(detail::settle(std::unexpected(none_taken), refused).error().description,
              refused.error().description);
    EXPECT_EQ(detail::settle(std::unexpected(none_taken), ok).error().description,
              none_taken.description);
    EXPECT_TRUE(detail::settle(ok, ok));
}

}  // namespace
}  // namespace portavik
