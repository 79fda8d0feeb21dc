// SPDX-License-Identifier: MIT

#include "link/receive.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <thread>

#include "codec/hex.hpp"
#include "support/fake_port.hpp"
#include "support/test_console.hpp"

namespace portavik {
namespace {

using testing::action_step;
using testing::data_step;
using testing::error_step;
using testing::FakeBytes;
using testing::FakeDevice;
using testing::FakePort;
using testing::ReadStep;
using testing::TestConsole;
using testing::timeout_step;

// A receiver of either mode on a scripted port.
struct Receiver {
    TestConsole t;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    Flag running = make_flag(true);
    std::optional<ReceiverThread> thread;

    void start(const ReceiveMode& mode, std::vector<ReadStep> steps,
               std::size_t capacity = ReceiveQueue::kDefaultCapacity) {
        for (auto& step : steps) {
            device->reads.push_back(std::move(step));
        }
        thread.emplace(t.console, std::make_unique<FakePort>(device), running, mode, capacity);
    }
    // The script, then `running` cleared, then the normal end.
    std::optional<std::string> run(const ReceiveMode& mode, std::vector<ReadStep> steps) {
        Flag flag = running;
        steps.push_back(action_step([flag] { flag->store(false); }));
        start(mode, std::move(steps));
        return thread->join();
    }
    // A step that waits until the printer has written `count` times, so
    // that the next read is not joined to what is still queued.
    ReadStep printed(int count) {
        return action_step([this, count] { EXPECT_TRUE(t.out.wait_for_writes(count)); });
    }
    std::size_t reads_left() {
        std::lock_guard guard(device->lock);
        return device->reads.size();
    }
};

std::string hex_line(const FakeBytes& bytes) {
    return "📥 Получено (HEX): " + format_hex_output(bytes) + "\n";
}

FakeBytes numbered(std::size_t from, std::size_t count) {
    FakeBytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((from + i) % 251);
    }
    return bytes;
}

// Every byte of the output's HEX lines, in order.
FakeBytes shown_bytes(const std::string& output) {
    constexpr std::string_view kLabel = "📥 Получено (HEX): ";
    std::string hex;
    for (auto at = output.find(kLabel); at != std::string::npos; at = output.find(kLabel, at)) {
        at += kLabel.size();
        const auto end = output.find('\n', at);
        hex += output.substr(at, end - at) + " ";
    }
    std::string digits;
    for (const char c : hex) {
        if (c != ' ') {
            digits += c;
        }
    }
    return *validate_hex_string(digits);
}

TEST(ReceiveData, PrintableChunkGetsHexAndTextLinesInOneWrite) {
    Receiver r;
    r.run(kStandardReceive,
          {data_step("OK\r\n"), r.printed(1), timeout_step(), data_step("a\tb\fc d")});
    EXPECT_EQ(r.t.output(),
              "📥 Получено (HEX): 4F 4B 0D 0A\n"
              "📥 Получено (текст): OK\r\n\n"
              "📥 Получено (HEX): 61 09 62 0C 63 20 64\n"
              "📥 Получено (текст): a\tb\fc d\n");
    // No line of the main thread can come between a chunk's two lines.
    EXPECT_EQ(r.t.out.writes(), 2);
}

TEST(ReceiveData, ChunksWithAnythingButPrintableAsciiGetTheHexLineOnly) {
    const FakeBytes chunks[] = {
        {'A', 0x00, 'B'},
        {0x1B, ']', '0', ';', 'x', 0x07},  // a terminal title sequence
        {0x1B, '[', '2', 'J'},
        {'x', 0x7F},
        {'x', 0x80},
        {0xD0, 0x9F, 0xD1, 0x80},  // "Пр" in UTF-8
        {0x0B},                    // vertical tab is not in the set
    };
    for (const FakeBytes& chunk : chunks) {
        Receiver r;
        r.run(kStandardReceive, {data_step(chunk)});
        EXPECT_EQ(r.t.output(), hex_line(chunk)) << format_hex_output(chunk);
    }
}

TEST(ReceiveData, LongDataComesInChunksOfAtMost1024) {
    FakeBytes big(2500);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    Receiver r;
    r.run(kStandardReceive, {data_step(big)});
    const auto b = big.begin();
    const std::string expected = hex_line(FakeBytes(b, b + 1024)) +
                                 "📥 Получено (текст): " + std::string(b, b + 1024) + "\n" +
                                 hex_line(FakeBytes(b + 1024, b + 2048)) +
                                 "📥 Получено (текст): " + std::string(b + 1024, b + 2048) + "\n" +
                                 hex_line(FakeBytes(b + 2048, big.end())) +
                                 "📥 Получено (текст): " + std::string(b + 2048, big.end()) + "\n";
    EXPECT_EQ(r.t.output(), expected);
}

TEST(ReceiveData, ReadErrorIsReportedOnceAndEndsTheLoop) {
    Receiver r;
    r.start(kStandardReceive, {data_step("A"), error_step("устройство отключено"), data_step("B")});
    EXPECT_EQ(r.thread->join(), std::nullopt);
    EXPECT_EQ(r.t.output(),
              "📥 Получено (HEX): 41\n📥 Получено (текст): A\n"
              "❌ Ошибка чтения из порта: устройство отключено\n");
    EXPECT_EQ(r.reads_left(), 1U);  // "B" is never read
    EXPECT_EQ(r.t.errors(), "");
}

TEST(ReceiveData, ReadErrorWhileShuttingDownIsSilent) {
    Receiver r;
    ReadStep failing = error_step("устройство отключено");
    failing.before = [running = r.running] { running->store(false); };
    r.start(kStandardReceive, {failing});
    r.thread->join();
    EXPECT_EQ(r.t.output(), "");
}

// Reads of 461 bytes (10 ms at 460800 baud) while a submenu is open come out
// after it in chunks of 1024, as they would had they waited in the port, and
// before the main thread goes on (with its menu).
TEST(ReceiveData, ReadsGoOnWhilePausedAndWhatCameIsPrintedAfterwards) {
    Receiver r;
    std::promise<void> all_read;
    std::promise<void> paused;
    std::vector<ReadStep> steps{action_step([&paused] { paused.get_future().wait(); })};
    for (std::size_t at = 0; at < 5 * 461; at += 461) {
        steps.push_back(data_step(numbered(at, 461)));
    }
    steps.push_back(action_step([&all_read] { all_read.set_value(); }));
    r.start(kStandardReceive, std::move(steps));
    r.thread->pause();
    paused.set_value();
    ASSERT_EQ(all_read.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(r.t.output(), "");
    r.thread->resume();
    EXPECT_EQ(r.t.output(), hex_line(numbered(0, 1024)) + hex_line(numbered(1024, 1024)) +
                                hex_line(numbered(2048, 257)));
    r.running->store(false);
    r.thread->join();
}

// A console that takes nothing (a selection, Ctrl+S) holds the printer only:
// the port is drained all the same, and everything comes out, in order, once
// the console takes output again.
TEST(ReceiverThread, ReadingGoesOnWhileTheConsoleTakesNothing) {
    Receiver r;
    r.t.out.hold(true);
    std::promise<void> all_read;
    std::vector<ReadStep> steps;
    for (std::size_t at = 0; at < 40'000; at += 1000) {
        steps.push_back(data_step(numbered(at, 1000)));
    }
    steps.push_back(action_step([&all_read] { all_read.set_value(); }));
    r.start(kStandardReceive, std::move(steps));
    ASSERT_EQ(all_read.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(r.t.out.wait_for_waiting_write());
    EXPECT_EQ(r.t.out.writes(), 0);
    r.t.out.hold(false);
    r.running->store(false);
    EXPECT_EQ(r.thread->join(), std::nullopt);
    EXPECT_EQ(shown_bytes(r.t.output()), numbered(0, 40'000));
}

// A full queue while the console takes nothing: with flow control in force
// the reading stops (the line then holds the device) and everything comes
// out once the console goes on; without, what does not fit is dropped and a
// loss line says how much.
TEST(ReceiverThread, AFullQueueHoldsTheDeviceUnderFlowControlAndDropsWithout) {
    constexpr std::size_t kSent = 20'000;
    for (const FlowControl flow : {FlowControl::None, FlowControl::Software, FlowControl::Hardware}) {
        Receiver r;
        r.device->line.flow_control = flow;
        r.t.out.hold(true);
        std::vector<ReadStep> steps;
        // Reads larger than a chunk, as in a flood.
        for (std::size_t at = 0; at < kSent; at += 2500) {
            steps.push_back(data_step(numbered(at, 2500)));
        }
        r.start(kStandardReceive, std::move(steps), 4 * ReceiveQueue::kEntryCost);
        EXPECT_TRUE(r.t.out.wait_for_waiting_write());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(r.reads_left() > 0, flow != FlowControl::None) << value_name(flow);
        r.t.out.hold(false);
        for (int i = 0; i < 1000 && r.reads_left() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        r.running->store(false);
        EXPECT_EQ(r.thread->join(), std::nullopt);
        const FakeBytes shown = shown_bytes(r.t.output());
        if (flow == FlowControl::None) {
            const std::string loss = "⚠️ Очередь приёма переполнена: потеряно " +
                                     std::to_string(kSent - shown.size()) + " байт\n";
            EXPECT_NE(r.t.output().find(loss), std::string::npos) << r.t.output();
        } else {
            EXPECT_EQ(shown, numbered(0, kSent)) << value_name(flow);
        }
    }
}

TEST(ReceiveTirkData, EveryChunkIsOneHexLineAndPausedChunksAreDropped) {
    Receiver r;
    r.run(kTirkReceive,
          {data_step("OK"), r.printed(1), action_step([&r] { r.thread->pause(); }),
           data_step(FakeBytes{0xDE, 0xAD}), action_step([&r] { r.thread->resume(); }),
           data_step(FakeBytes{0x01, 0x50})});
    EXPECT_EQ(r.t.output(), "📥 Получены данные: 4F 4B\n📥 Получены данные: 01 50\n");
}

// A chunk read before an editor opened, still waiting for the console, is
// printed only after the editor has closed; a failed read meanwhile is
// reported on standard error at once.
TEST(ReceiveTirkData, WhatWaitsWhenAnEditorOpensIsPrintedAfterIt) {
    Receiver r;
    r.t.out.hold(true);
    std::promise<void> queued;
    std::promise<void> editor_open;
    // "2" comes once the printer has taken "1", so the two stay apart.
    r.start(kTirkReceive,
            {data_step("1"), action_step([&r] { EXPECT_TRUE(r.t.out.wait_for_waiting_write()); }),
             data_step("2"), action_step([&queued] { queued.set_value(); }),
             action_step([&editor_open] { editor_open.get_future().wait(); }),
             error_step("устройство отключено")});
    ASSERT_EQ(queued.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(r.t.out.wait_for_waiting_write());
    // The editor opens once the print under way is done.
    auto paused = std::async(std::launch::async, [&r] { r.thread->pause(); });
    while (!r.thread->paused()) {
        std::this_thread::yield();
    }
    r.t.out.hold(false);
    paused.get();
    editor_open.set_value();
    EXPECT_TRUE(r.t.err.wait_for_writes(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(r.t.output(), "📥 Получены данные: 31\n");
    EXPECT_EQ(r.t.errors(), "Ошибка чтения: устройство отключено\n");
    r.thread->resume();
    EXPECT_EQ(r.t.output(), "📥 Получены данные: 31\n📥 Получены данные: 32\n");
    r.running->store(false);
    r.thread->join();
}

TEST(ReceiveTirkData, FailedReadsAreReportedWithoutAFloodAndPaced) {
    Receiver r;
    r.device->timeout = std::chrono::milliseconds(20);
    const auto start = std::chrono::steady_clock::now();
    r.run(kTirkReceive, {error_step("устройство отключено"), error_step("устройство отключено"),
                         error_step("устройство отключено"), error_step("другая ошибка"),
                         data_step("!"), error_step("устройство отключено")});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The same text again within a second is not repeated; another text, and
    // the first failure after data, are printed at once.
    EXPECT_EQ(r.t.errors(),
              "Ошибка чтения: устройство отключено\n"
              "Ошибка чтения: другая ошибка\n"
              "Ошибка чтения: устройство отключено\n");
    EXPECT_EQ(r.t.output(), "📥 Получены данные: 21\n");
    // Waits of 20, 40, 80 and 160 ms, then 20 again after the data.
    EXPECT_GE(elapsed, std::chrono::milliseconds(320));
}

TEST(ReceiveBothLoops, WhatTheDriverCountedIsReportedOnStandardErrorAtMostOnceASecond) {
    for (const ReceiveMode* mode : {&kStandardReceive, &kTirkReceive}) {
        Receiver r;
        const auto counted = [&r](std::uint64_t overruns, std::uint64_t framing) {
            return action_step([device = r.device, overruns, framing] {
                std::lock_guard guard(device->lock);
                device->line_counts = {overruns, framing, 0, 0};
            });
        };
        r.run(*mode, {timeout_step(), counted(2, 0), data_step("A"), counted(5, 3), timeout_step()});
        EXPECT_EQ(r.t.errors(),
                  "⚠️ Данные от устройства потеряны: переполнился буфер "
                  "приёма "
                  "порта. "
                  "Помогут "
                  "управление потоком или меньшая скорость\n"
                  "⚠️ Сбои на линии приёма: ошибок кадра — 3. Вероятно, скорость или формат "
                  "порта (9600 8N1) не совпадают с настройками устройства\n");
        EXPECT_NE(r.t.output(), "") << "the data around the loss is still shown";
    }
}

TEST(ReadFailurePacer, WaitDoublesUpToASecondAndRepeatsPrintAtMostOnceASecond) {
    using std::chrono::milliseconds;
    struct Step {
        int at_ms;
        const char* message;  // nullptr: a read that brought data
        bool print;
        int wait_ms;
    };
    const Step steps[] = {
        {0, "gone", true, 50},      {50, "gone", false, 100},    {150, "gone", false, 200},
        {350, "gone", false, 400},  {750, "gone", false, 800},   {1000, "gone", true, 1000},
        {2000, "gone", true, 1000}, {2500, "other", true, 1000}, {2600, "gone", true, 1000},
        {2700, nullptr, false, 0},  {2710, "gone", true, 50},    {2760, "gone", false, 100},
    };
    ReadFailurePacer pacer(milliseconds(50));
    for (const Step& step : steps) {
        if (step.message == nullptr) {
            pacer.succeeded();
            continue;
        }
        const auto got = pacer.failed(
            step.message, ReadFailurePacer::Clock::time_point{} + milliseconds(step.at_ms));
        EXPECT_EQ(got.print, step.print) << "at " << step.at_ms << " ms";
        EXPECT_EQ(got.wait, milliseconds(step.wait_ms)) << "at " << step.at_ms << " ms";
    }
}

// The queue's bound, mostly room for four entries: one of them is kept for
// the mark that says what was lost. A chunk shows as its size and first byte;
// the bytes pushed are numbered(0, ...) in order.
std::string shown(const ReceiveQueue::Entry& entry) {
    switch (entry.kind) {
        case ReceiveQueue::Entry::Kind::Data:
            return "data " + std::to_string(entry.bytes.size()) + " from " +
                   format_hex_output(std::span(entry.bytes).first(1)) + "\n";
        case ReceiveQueue::Entry::Kind::Line:
            return entry.text + "\n";
        case ReceiveQueue::Entry::Kind::Loss:
            return loss_line(entry.lost_bytes, entry.lost_lines);
    }
    return "";
}

TEST(ReceiveQueue, BoundLossLineAndJoiningChunks) {
    struct Case {
        const char* name;
        std::vector<int> ops;  // > 0: push that many bytes; 0: print one entry; -1: push a line
        std::string printed;
        std::size_t entries = 4;
    };
    const std::string loss =
        "⚠️ Очередь приёма переполнена: потеряно ";
    const Case cases[] = {
        {"under the bound: reads join up to 1024",
         {1000, 1000, 1000},
         "data 1024 from 00\ndata 1024 from 14\ndata 952 from 28\n"},
        {"at the bound",
         {1024, 1024, 1024},
         "data 1024 from 00\ndata 1024 from 14\ndata 1024 from 28\n"},
        {"over the bound: one line for every byte dropped in a row",
         {1024, 1024, 1024, 100, 50},
         "data 1024 from 00\ndata 1024 from 14\ndata 1024 from 28\n" + loss + "150 байт\n"},
        {"one entry printed: still no room, the reserve stays",
         {1024, 1024, 1024, 100, 0, 50},
         "data 1024 from 00\ndata 1024 from 14\ndata 1024 from 28\n" + loss + "150 байт\n"},
        {"resumed: kept again after the loss line",
         {1024, 1024, 1024, 100, 0, 0, 50},
         "data 1024 from 00\ndata 1024 from 14\ndata 1024 from 28\n" + loss +
             "100 байт\ndata 50 from A0\n"},
        {"a line that does not fit is counted too",
         {1024, 1024, 1024, -1},
         "data 1024 from 00\ndata 1024 from 14\ndata 1024 from 28\n" + loss +
             "0 байт, сообщений об ошибках: 1\n"},
        {"a chunk being printed is not added to",
         {461, 0, 461, 461, 461},
         "data 461 from 00\ndata 1024 from D2\ndata 359 from E6\n"},
        {"a line ends a chunk", {100, -1, 100}, "data 100 from 00\nline\ndata 100 from 64\n", 5},
    };
    for (const Case& c : cases) {
        const std::size_t capacity = c.entries * ReceiveQueue::kEntryCost;
        ReceiveQueue queue(capacity);
        std::string printed;
        std::size_t pushed = 0;
        for (const int op : c.ops) {
            if (op > 0) {
                queue.push_data(numbered(pushed, static_cast<std::size_t>(op)));
                pushed += static_cast<std::size_t>(op);
            } else if (op == 0) {
                const auto entry = queue.pop();
                ASSERT_TRUE(entry && entry->kind == ReceiveQueue::Entry::Kind::Data) << c.name;
                printed += shown(*entry);
            } else {
                queue.push_line("line");
            }
            EXPECT_LE(queue.memory_used(), capacity) << c.name;
        }
        // What room() promises fits without a loss; one byte more does not.
        const auto lost_after = [](ReceiveQueue probe, std::size_t bytes) {
            probe.push_data(numbered(0, bytes));
            std::uint64_t lost = 0;
            while (const auto entry = probe.pop()) {
                lost += entry->lost_bytes;
            }
            return lost;
        };
        const std::uint64_t lost = lost_after(queue, 0);
        EXPECT_EQ(lost_after(queue, queue.room()), lost) << c.name;
        EXPECT_EQ(lost_after(queue, queue.room() + 1), lost + 1) << c.name;
        while (!queue.empty()) {
            printed += shown(*queue.pop());
        }
        EXPECT_EQ(printed, c.printed) << c.name;
        EXPECT_EQ(queue.memory_used(), 0U) << c.name;
    }
}

TEST(ReceiverThread, ReportsTheFailureThatEndedTheThread) {
    Receiver r;
    r.t.out.set_failing(true);
    EXPECT_EQ(r.run(kStandardReceive, {data_step("x")}), "Ошибка записи в стандартный вывод");
}

TEST(ReceiverThread, LeavingTheScopeStopsAndJoinsIt) {
    Receiver r;
    r.start(kStandardReceive, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r.thread.reset();
    EXPECT_FALSE(r.running->load());
    // Its read was woken rather than waited out.
    EXPECT_EQ(r.device->cancel_calls, 1);
    // The reader dropped its handle when it ended.
    EXPECT_EQ(r.device.use_count(), 1);
}

// A fatal stop does not wait for a console that takes nothing: the printer,
// stuck in its write, is left behind, and prints nothing more once the
// console goes on. The console outlives the test, as the program's does.
TEST(ReceiverThread, AFatalStopDoesNotWaitForAHeldConsole) {
    static TestConsole& t = *new TestConsole;
    t.out.clear();
    const int writes = t.out.writes();
    t.out.hold(true);
    auto device = std::make_shared<FakeDevice>();
    device->reads = {data_step("1"), action_step([] { t.out.wait_for_waiting_write(); }),
                     data_step("2")};
    {
        ReceiverThread thread(t.console, std::make_unique<FakePort>(device), make_flag(true),
                              kTirkReceive);
        EXPECT_TRUE(t.out.wait_for_waiting_write());
    }
    EXPECT_EQ(device.use_count(), 1);
    t.out.hold(false);
    EXPECT_TRUE(t.out.wait_for_writes(writes + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(t.output(), "📥 Получены данные: 31\n");
}

}  // namespace
}  // namespace portavik
