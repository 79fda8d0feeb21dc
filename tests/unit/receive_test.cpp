#include "session/receive.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
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
using testing::FakePort;
using testing::TestConsole;
using testing::timeout_step;

// Runs `loop` over the scripted reads; a last step clears `running`.
template <class Loop>
void run_script(Loop loop, TestConsole& t, FakePort& port, Flag running, Flag pause,
                std::vector<testing::ReadStep> steps) {
    for (auto& step : steps) {
        port.device().reads.push_back(std::move(step));
    }
    port.device().reads.push_back(action_step([running] { running->store(false); }));
    loop(t.console, port, running, pause);
}

std::string hex_line(const FakeBytes& bytes) {
    return "📥 Получено (HEX): " + format_hex_output(bytes) + "\n";
}

TEST(ReceiveData, PrintableChunkGetsHexAndTextLinesInOneWrite) {
    TestConsole t;
    FakePort port;
    run_script(receive_data, t, port, make_flag(true), make_flag(false),
               {data_step("OK\r\n"), timeout_step(), data_step("a\tb\fc d")});
    EXPECT_EQ(t.output(),
              "📥 Получено (HEX): 4F 4B 0D 0A\n"
              "📥 Получено (текст): OK\r\n\n"
              "📥 Получено (HEX): 61 09 62 0C 63 20 64\n"
              "📥 Получено (текст): a\tb\fc d\n");
    // No line of the main thread can come between a chunk's two lines.
    EXPECT_EQ(t.out.writes(), 2);
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
        TestConsole t;
        FakePort port;
        run_script(receive_data, t, port, make_flag(true), make_flag(false), {data_step(chunk)});
        EXPECT_EQ(t.output(), hex_line(chunk)) << format_hex_output(chunk);
    }
}

TEST(ReceiveData, LongDataComesInChunksOfAtMost1024) {
    FakeBytes big(2500);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    TestConsole t;
    FakePort port;
    run_script(receive_data, t, port, make_flag(true), make_flag(false), {data_step(big)});
    const std::string out = t.output();
    const auto b = big.begin();
    const std::string expected = hex_line(FakeBytes(b, b + 1024)) +
                                 "📥 Получено (текст): " + std::string(b, b + 1024) + "\n" +
                                 hex_line(FakeBytes(b + 1024, b + 2048)) +
                                 "📥 Получено (текст): " + std::string(b + 1024, b + 2048) + "\n" +
                                 hex_line(FakeBytes(b + 2048, big.end())) +
                                 "📥 Получено (текст): " + std::string(b + 2048, big.end()) + "\n";
    EXPECT_EQ(out, expected);
}

TEST(ReceiveData, ReadErrorIsReportedOnceAndEndsTheLoop) {
    TestConsole t;
    FakePort port;
    port.device().reads = {data_step("A"), error_step("устройство отключено"), data_step("B")};
    receive_data(t.console, port, make_flag(true), make_flag(false));
    EXPECT_EQ(t.output(),
              "📥 Получено (HEX): 41\n📥 Получено (текст): A\n"
              "❌ Ошибка чтения из порта: устройство отключено\n");
    EXPECT_EQ(port.device().reads.size(), 1U);  // "B" is never read
    EXPECT_EQ(t.errors(), "");
}

TEST(ReceiveData, ReadErrorWhileShuttingDownIsSilent) {
    TestConsole t;
    FakePort port;
    Flag running = make_flag(true);
    testing::ReadStep failing = error_step("устройство отключено");
    failing.before = [running] { running->store(false); };
    port.device().reads = {failing};
    receive_data(t.console, port, running, make_flag(false));
    EXPECT_EQ(t.output(), "");
}

TEST(ReceiveData, DoesNotReadWhilePausedAndPrintsWhatWaitedAfterwards) {
    TestConsole t;
    FakePort port;
    port.device().reads = {data_step("late")};
    Flag running = make_flag(true);
    Flag pause = make_flag(true);
    std::thread receiver([&] { receive_data(t.console, port, running, pause); });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    {
        std::lock_guard guard(port.device().lock);
        EXPECT_EQ(port.device().read_calls, 0);
    }
    EXPECT_EQ(t.output(), "");
    pause->store(false);
    for (int i = 0; i < 500 && t.output().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    running->store(false);
    receiver.join();
    EXPECT_EQ(t.output(), "📥 Получено (HEX): 6C 61 74 65\n📥 Получено (текст): late\n");
}

TEST(ReceiveData, StoppedBeforeStartReadsNothing) {
    TestConsole t;
    FakePort port;
    receive_data(t.console, port, make_flag(false), make_flag(false));
    EXPECT_EQ(port.device().read_calls, 0);
}

TEST(ReceiveTirkData, EveryChunkIsOneHexLineAndPausedChunksAreDropped) {
    TestConsole t;
    FakePort port;
    Flag pause = make_flag(false);
    run_script(receive_tirk_data, t, port, make_flag(true), pause,
               {data_step("OK"), action_step([pause] { pause->store(true); }),
                data_step(FakeBytes{0xDE, 0xAD}), action_step([pause] { pause->store(false); }),
                data_step(FakeBytes{0x01, 0x50})});
    EXPECT_EQ(t.output(), "📥 Получены данные: 4F 4B\n📥 Получены данные: 01 50\n");
}

TEST(ReceiveTirkData, FailedReadsAreReportedWithoutAFloodAndPaced) {
    TestConsole t;
    FakePort port;
    port.device().timeout = std::chrono::milliseconds(20);
    const auto start = std::chrono::steady_clock::now();
    run_script(receive_tirk_data, t, port, make_flag(true), make_flag(false),
               {error_step("устройство отключено"), error_step("устройство отключено"),
                error_step("устройство отключено"), error_step("другая ошибка"), data_step("!"),
                error_step("устройство отключено")});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The same text again within a second is not repeated; another text, and
    // the first failure after data, are printed at once.
    EXPECT_EQ(t.errors(),
              "Ошибка чтения: устройство отключено\n"
              "Ошибка чтения: другая ошибка\n"
              "Ошибка чтения: устройство отключено\n");
    EXPECT_EQ(t.output(), "📥 Получены данные: 21\n");
    // Waits of 20, 40, 80 and 160 ms, then 20 again after the data.
    EXPECT_GE(elapsed, std::chrono::milliseconds(320));
}

TEST(ReceiveBothLoops, BytesTheDriverLostAreReportedOnStandardErrorAtMostOnceASecond) {
    for (const ReceiveLoop loop : {receive_data, receive_tirk_data}) {
        TestConsole t;
        FakePort port;
        const auto lose = [&port](std::uint64_t count) {
            return action_step([&port, count] {
                std::lock_guard guard(port.device().lock);
                port.device().overruns = count;
            });
        };
        run_script(loop, t, port, make_flag(true), make_flag(false),
                   {timeout_step(), lose(2), data_step("A"), lose(5), timeout_step()});
        EXPECT_EQ(t.errors(),
                  "⚠️ Данные от устройства потеряны: переполнился буфер приёма порта. "
                  "Помогут "
                  "управление потоком или меньшая скорость\n");
        EXPECT_NE(t.output(), "") << "the data around the loss is still shown";
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

TEST(TakeReceivedData, TakesEverythingAndLeavesTheBufferEmpty) {
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(take_received_data(buffer), std::nullopt);
    buffer = {1, 2, 3};
    EXPECT_EQ(take_received_data(buffer), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(take_received_data(buffer), std::nullopt);
}

TEST(ReceiverThread, ReportsTheFailureThatEndedTheThread) {
    TestConsole t;
    t.out.set_failing(true);
    auto port = std::make_unique<FakePort>();
    port->device().reads = {data_step("x")};
    Flag running = make_flag(true);
    ReceiverThread thread(t.console, std::move(port), running, make_flag(false), &receive_data);
    EXPECT_EQ(thread.join(), "Ошибка записи в стандартный вывод");
}

TEST(ReceiverThread, LeavingTheScopeStopsAndJoinsIt) {
    TestConsole t;
    auto port = std::make_unique<FakePort>();
    auto device = port->shared_device();
    Flag running = make_flag(true);
    {
        ReceiverThread thread(t.console, std::move(port), running, make_flag(false), &receive_data);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(running->load());
    // Its read was woken rather than waited out.
    EXPECT_EQ(device->cancel_calls, 1);
    // The thread dropped its handle when it ended.
    EXPECT_EQ(device.use_count(), 1);
}

}  // namespace
}  // namespace portavik
