// SPDX-License-Identifier: MIT

// The Windows backend's decisions, fed what Windows and its COM drivers
// report; neutral code, so these run natively and under wine.

#include "serial/comm_rules.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "serial/write_stall.hpp"

namespace portavik {
namespace {

using namespace comm;
using std::chrono::milliseconds;

constexpr unsigned long kErrorNotSupported = 50;
constexpr unsigned long kErrorTimeout = 1460;

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
        {"a line error aborted it", counted(0, 0, kCeFrame), Outcome::Aborted},
        {"nothing wrong", counted(12), Outcome::Aborted},
        {"unplugged", refused(kErrorAccessDenied), Outcome::Gone},
        {"removed", refused(kErrorDeviceRemoved), Outcome::Gone},
        {"a driver that refuses ClearCommError", refused(kErrorInvalidParameter),
         Outcome::Aborted},
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

TEST(CommRules, ARunOfAbortsIsPacedLikeFailedReadsAndEndsAsADisconnect) {
    // A driver that aborts every read at once, 50 ms read timeout: each
    // abort and when the next read may start (0: a read that ended
    // otherwise; -1: the device counts as gone).
    const std::pair<int, int> steps[] = {
        {0, 50},      {50, 150},    {150, 350},   {350, 750},   {750, 1550},  {1550, 2550},
        {2560, 0},    {2570, 2620}, {2620, 2720}, {2720, 2920}, {2920, 3320}, {3320, 4120},
        {4120, 5120}, {5120, 6120}, {6120, 7120}, {7120, 8120}, {8120, -1},
    };
    const AbortPacer::Clock::time_point zero{};
    AbortPacer pacer(milliseconds(50));
    for (const auto& [at, resume] : steps) {
        if (resume == 0) {
            pacer.ended();
            continue;
        }
        const auto next = pacer.aborted(zero + milliseconds(at));
        EXPECT_EQ(next, resume < 0 ? std::nullopt : std::optional(zero + milliseconds(resume)))
            << at;
    }
}

TEST(CommRules, EachFlagClearCommErrorReportsCountsOnce) {
    // overruns, framing, parity, breaks
    const std::pair<CommStatus, LineCounts> cases[] = {
        {counted(0, 0, kCeRxOver | kCeOverrun), {1, 0, 0, 0}},
        {counted(9, 0, kCeFrame | kCeOverrun), {1, 1, 0, 0}},
        {counted(9, 0, kCeRxParity), {0, 0, 1, 0}},
        {counted(0, 0, kCeBreak | kCeFrame), {0, 1, 0, 1}},
        {counted(9), {0, 0, 0, 0}},
        {refused(kErrorInvalidParameter), {0, 0, 0, 0}},
    };
    for (const auto& [status, counts] : cases) {
        EXPECT_EQ(flag_counts(status), counts) << status.flags;
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

TEST(CommRules, AFrameOfUpTo4KiBGoesInOneRequestLongerWritesInQuarterSeconds) {
    struct Case {
        std::uint32_t baud;
        std::size_t total;
        std::size_t taken;  // the most a request moves (a failure after two)
        std::vector<std::size_t> requests;
    };
    const Case cases[] = {
        {9600, 256, 4096, {256}},  // a Modbus RTU frame, over a quarter second long
        {300, 4096, 4096, {4096}},
        {4000000, 9000, 4096, {4096, 4096, 808}},
        {9600, 1000, 600, {1000, 400}},  // the rest of a request is asked for again
        {9600, 5000, 100, {240, 240, 240}},
    };
    for (const Case& c : cases) {
        const detail::WriteStall stall(c.baud, 10, detail::WriteStall::Clock::time_point{});
        std::vector<std::size_t> requests;
        std::size_t moved = 0;
        const auto written = write_in_requests(
            c.total, stall.request_size(kWriteRequest),
            [&](std::size_t done, std::size_t size) -> std::expected<std::size_t, int> {
                EXPECT_EQ(done, moved);
                requests.push_back(size);
                if (c.taken == 100 && requests.size() == 3) {
                    return std::unexpected(7);
                }
                moved += std::min(size, c.taken);
                return std::min(size, c.taken);
            });
        EXPECT_EQ(requests, c.requests) << c.baud << " baud, " << c.total << " bytes";
        EXPECT_EQ(written.has_value(), c.taken != 100);
        EXPECT_EQ(moved, written ? c.total : 200U);
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

}  // namespace
}  // namespace portavik
