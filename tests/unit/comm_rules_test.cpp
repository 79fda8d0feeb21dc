// SPDX-License-Identifier: MIT

// The Windows backend's decisions, fed what Windows and its COM drivers
// report; neutral code, so these run natively and under wine.

#include "serial/comm_rules.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "serial/lost_input.hpp"
#include "serial/write_stall.hpp"

namespace portavik {
namespace {

using namespace comm;
using std::chrono::milliseconds;

constexpr unsigned long kErrorNotSupported = 50;
constexpr unsigned long kErrorTimeout = 1460;
constexpr unsigned long kCeRxParity = 0x0004;
constexpr unsigned long kCeFrame = 0x0008;

CommStatus counted(std::size_t in_queue, std::size_t out_queue = 0, unsigned long flags = 0) {
    return {true, 0, flags, in_queue, out_queue};
}
CommStatus refused(unsigned long error) {
    return {false, error, 0, 0, 0};
}

TEST(CommRules, AFailedCallIsAGoneDeviceAFailureOrAQuestionToThePort) {
    // What removed devices give: wine's closed peer (reads, writes), the
    // in-box USB CDC driver's writes, unplugged adapters of other drivers.
    const struct {
        Outcome outcome;
        std::initializer_list<unsigned long> codes;
    } groups[] = {
        {Outcome::Gone,
         {kErrorBrokenPipe, kErrorNotReady, kErrorSemTimeout, kErrorAccessDenied, kErrorBadCommand,
          kErrorGenFailure, kErrorFileNotFound, kErrorDevNotExist, kErrorNoSuchDevice,
          kErrorIoDevice, kErrorDeviceNotConnected, kErrorDeviceRemoved, kErrorInvalidHandle}},
        {Outcome::AskPort, {kErrorOperationAborted}},
        {Outcome::Failed, {kErrorInvalidParameter, kErrorNotSupported, kErrorTimeout, 0UL}},
    };
    for (const auto& group : groups) {
        for (const unsigned long code : group.codes) {
            EXPECT_EQ(failed_call(code), group.outcome) << code;
        }
    }
}

TEST(CommRules, ARequestEndsInBytesAGoneDeviceAFailureOrAQuestionToThePort) {
    struct Case {
        const char* what;
        Completion end;
        Outcome outcome;
    };
    const Case cases[] = {
        {"bytes came", {true, 0, 5, false}, Outcome::Bytes},
        {"completed empty, not cancelled", {true, 0, 0, false}, Outcome::Gone},
        {"cancelled by the timeout, nothing came", {true, 0, 0, true}, Outcome::Bytes},
        {"cancelled, aborted, nothing came",
         {false, kErrorOperationAborted, 0, true},
         Outcome::Bytes},
        {"cancelled, aborted, a byte came first",
         {false, kErrorOperationAborted, 1, true},
         Outcome::Bytes},
        {"aborted, not by the program",
         {false, kErrorOperationAborted, 0, false},
         Outcome::AskPort},
        {"wine, peer closed", {false, kErrorBrokenPipe, 0, false}, Outcome::Gone},
        {"USB CDC unplugged", {false, kErrorSemTimeout, 0, false}, Outcome::Gone},
        {"unplugged while being cancelled", {false, kErrorGenFailure, 0, true}, Outcome::Gone},
        {"other failure", {false, kErrorInvalidParameter, 0, false}, Outcome::Failed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(read_end(c.end), c.outcome) << c.what;
    }
}

TEST(CommRules, AnAbortIsADisconnectOnlyWhenClearCommErrorSaysTheDeviceIsGone) {
    struct Case {
        const char* what;
        CommStatus status;
        Outcome outcome;
    };
    const Case cases[] = {
        {"a line error aborted it", counted(0, 0, kCeFrame), Outcome::Bytes},
        {"nothing wrong", counted(12), Outcome::Bytes},
        {"unplugged", refused(kErrorAccessDenied), Outcome::Gone},
        {"removed", refused(kErrorDeviceRemoved), Outcome::Gone},
        {"a driver that refuses ClearCommError", refused(kErrorInvalidParameter), Outcome::Bytes},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(after_abort(c.status), c.outcome) << c.what;
    }
}

TEST(CommRules, AReadAsksForWhatIsQueuedOrOneByteWhereTheDriverWillNotSay) {
    struct Case {
        const char* what;
        CommStatus status;
        Queue state;
        std::size_t bytes;
    };
    const Case cases[] = {
        {"bytes waiting", counted(17), Queue::Counted, 17},
        {"nothing waiting", counted(0), Queue::Counted, 0},
        {"virtual COM driver refusing", refused(kErrorInvalidParameter), Queue::Unknown, 0},
        {"driver without it", refused(kErrorNotSupported), Queue::Unknown, 0},
        {"unplugged", refused(kErrorAccessDenied), Queue::Gone, 0},
        {"unplugged, other driver", refused(kErrorBadCommand), Queue::Gone, 0},
    };
    for (const Case& c : cases) {
        const InputQueue queue = input_queue(c.status);
        EXPECT_EQ(queue.state, c.state) << c.what;
        EXPECT_EQ(queue.bytes, c.bytes) << c.what;
    }
}

TEST(CommRules, OverrunsAreTheQueueOrTheUartLosingBytes) {
    struct Case {
        CommStatus status;
        bool lost;
    };
    const Case cases[] = {
        {counted(0, 0, kCeRxOver), true},
        {counted(4096, 0, kCeOverrun), true},
        {counted(9, 0, kCeFrame | kCeOverrun), true},
        {counted(9, 0, kCeFrame), false},
        {counted(9, 0, kCeRxParity), false},
        {counted(9), false},
        {refused(kErrorInvalidParameter), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lost_input(c.status), c.lost) << c.status.flags;
    }
}

TEST(CommRules, APendingRequestCountsAsQueuedWhereTheDriverCountsNone) {
    struct Case {
        const char* what;
        CommStatus status;
        std::size_t pending;
        std::size_t queued;
    };
    const Case cases[] = {
        {"USB driver: request on the bus, queue 0", counted(0, 0), 4096, 4096},
        {"serial.sys: counts the request's bytes not yet sent", counted(0, 1500), 4096, 1500},
        {"ClearCommError refused", refused(kErrorInvalidParameter), 240, 240},
        {"nothing pending", counted(0, 0), 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(queued_output(c.status, c.pending), c.queued) << c.what;
    }

    // 4 KiB pending at 9600 baud take 4.27 s on the wire; a driver that
    // says nothing is queued meanwhile must not make the write give up.
    using Clock = detail::WriteStall::Clock;
    const Clock::time_point start{};
    detail::WriteStall stall(9600, 10, start);
    const auto wire = detail::wire_time(4096, 9600, 10);
    Clock::time_point now = start;
    for (; now - start <= wire; now += milliseconds(100)) {
        stall.observe(0, queued_output(counted(0, 0), 4096), now);
        ASSERT_FALSE(stall.expired(now)) << "gave up after " << (now - start).count() << " ns";
    }
    // A request that never completes still gives up a grace second later.
    EXPECT_TRUE(stall.expired(start + wire + detail::WriteStall::kGrace));
}

TEST(CommRules, WriteRequestsHoldAQuarterSecondOfWireTime) {
    struct Case {
        std::uint32_t baud;
        unsigned bits;
        std::size_t size;
    };
    const Case cases[] = {
        {9600, 10, 240}, {38400, 10, 960}, {115200, 10, 2880}, {4000000, 11, 4096},
        {300, 10, 7},    {50, 12, 1},      {0, 10, 4096},
    };
    for (const Case& c : cases) {
        const detail::WriteStall stall(c.baud, c.bits, detail::WriteStall::Clock::time_point{});
        EXPECT_EQ(stall.request_size(4096), c.size) << c.baud;
    }
}

TEST(CommRules, TheInputQueueAskedForAndTheXonXoffLimitsFitWhatTheDriverKeeps) {
    EXPECT_EQ(input_queue_request(0), kInputQueue);
    EXPECT_EQ(input_queue_request(65536), 65536U);
    EXPECT_EQ(input_queue_request(4 * kInputQueue), kInputQueue);

    struct Case {
        std::size_t current;  // dwCurrentRxQueue; 0: the driver does not say
        std::uint16_t limit;
    };
    const Case cases[] = {
        {0, 1024}, {4096, 1024}, {1000, 250}, {65536, 16384}, {kInputQueue, 0xFFFF},
    };
    for (const Case& c : cases) {
        const FlowLimits limits = flow_limits(c.current);
        EXPECT_EQ(limits.xon, c.limit) << c.current;
        EXPECT_EQ(limits.xoff, c.limit) << c.current;
        // XOFF goes out above the level at which XON does, both within the queue.
        const std::size_t queue = c.current != 0 ? c.current : 4096;
        EXPECT_GT(limits.xon, 0U);
        EXPECT_LT(std::size_t{limits.xon} + limits.xoff, queue) << c.current;
    }
}

TEST(LostInputNotice, TheFirstLossAtOnceThenAtMostOneLineASecond) {
    struct Look {
        int at_ms;
        std::uint64_t overruns;
        bool printed;
    };
    const Look looks[] = {
        {0, 0, false},    {10, 1, true},    {500, 3, false}, {1009, 3, false}, {1010, 3, true},
        {1500, 3, false}, {3000, 3, false}, {3100, 4, true}, {3200, 6, false}, {4100, 6, true},
    };
    LostInputNotice notice;
    for (const Look& look : looks) {
        const auto line = notice.check(
            look.overruns, LostInputNotice::Clock::time_point{} + milliseconds(look.at_ms));
        EXPECT_EQ(line.has_value(), look.printed) << "at " << look.at_ms << " ms";
        if (line) {
            EXPECT_TRUE(
                line->starts_with("⚠️ Данные от устройства потеряны"))
                << *line;
        }
    }
}

}  // namespace
}  // namespace portavik
