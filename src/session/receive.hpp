// SPDX-License-Identifier: MIT

#pragma once

// The receiver: one thread reads what the device sends into a ReceiveQueue,
// another prints it from there. The reading thread never touches the
// console, so it drains the port however long the console is held; the
// printing thread waits while the main thread has the console to itself
// (`pause_receiver`) and while the console takes no output.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "console/console.hpp"
#include "serial/serial_port.hpp"
#include "session/receive_queue.hpp"

namespace portavik {

// A flag shared by the main thread, the receiver and the Ctrl+C handler;
// every access is relaxed.
using Flag = std::shared_ptr<std::atomic<bool>>;
Flag make_flag(bool value);

// `pause_receiver`: set by the main thread while it wants the console to
// itself (a send submenu, a ТИРК editor). Nothing is printed on standard
// output while it is set; the ТИРК reader also drops what it reads meanwhile.
class PauseFlag {
  public:
    // The main thread takes the console.
    void pause();
    // And gives it back: the printer goes on at once, and this returns once
    // what it held back has been printed, so that the main thread's next
    // lines (the menu and its prompt) come after it.
    void resume();
    bool is_set() const { return paused_.load(std::memory_order_relaxed); }
    const std::atomic<bool>& value() const { return paused_; }

    // The receiver, while it runs: how its printer is woken after a change,
    // and how `resume` waits for it. Once `detach` returns, neither runs
    // again. Like `pause` and `resume`, for the main thread only.
    void attach(std::function<void()> wake, std::function<void()> wait_printed);
    void detach();

  private:
    std::atomic<bool> paused_{false};
    std::mutex lock_;
    std::function<void()> wake_;
    std::function<void()> wait_printed_;
};
using Pause = std::shared_ptr<PauseFlag>;
Pause make_pause();

// The reading half of each mode. Both read into the whole 1024-byte buffer,
// queue what came and end when `running` is false or the queue is abandoned.
//
// Standard mode: queues every chunk, also while paused (it is printed after
// the pause). After the first read error that is not a timeout it queues
// "❌ Ошибка чтения из порта: ..." (unless `running` is false by then) and ends.
void receive_data(SerialPort& port, const std::atomic<bool>& running, const PauseFlag& pause,
                  ReceiveQueue& queue);

// ТИРК mode: drops what it reads while paused. Queues failed reads for
// standard error, paced by ReadFailurePacer, and goes on.
void receive_tirk_data(SerialPort& port, const std::atomic<bool>& running, const PauseFlag& pause,
                       ReceiveQueue& queue);

// How the ТИРК reader paces failed reads, so that a device that is gone does
// not flood standard error: after each failure the loop waits, one read
// timeout at first, doubling up to a second while reads keep failing, back to
// the start after a read that brings data. A failure is printed at once when
// it is the first or differs from the last one printed; the same text again
// at most once a second.
class ReadFailurePacer {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLongest{1};

    explicit ReadFailurePacer(Clock::duration first_wait)
        : first_wait_(std::max<Clock::duration>(first_wait, std::chrono::milliseconds(1))) {}

    struct Step {
        bool print;
        Clock::duration wait;
    };
    Step failed(const std::string& message, Clock::time_point now);
    void succeeded();

  private:
    Clock::duration first_wait_;
    Clock::duration next_wait_{0};
    std::optional<std::string> last_printed_;
    Clock::time_point printed_at_{};
};

// Printable ASCII (33..126) and ASCII white space (tab, LF, FF, CR, space) only.
bool is_printable_text(std::span<const std::uint8_t> chunk);

// What the standard receiver prints for one chunk: its HEX line and, when the
// chunk is printable text, its text line, both with line breaks. Replaces the
// content of `lines`, keeping its capacity, so one buffer serves every chunk.
void format_received_chunk(std::string& lines, std::span<const std::uint8_t> chunk);

// The ТИРК receiver's line for a chunk, with its line break.
void format_tirk_chunk(std::string& lines, std::span<const std::uint8_t> chunk);

// "⚠️ Очередь приёма переполнена: потеряно N байт", with a
// line break.
std::string loss_line(std::uint64_t lost_bytes, std::uint64_t lost_lines);

using ReadLoop = void (*)(SerialPort&, const std::atomic<bool>&, const PauseFlag&, ReceiveQueue&);
using ChunkFormat = void (*)(std::string& lines, std::span<const std::uint8_t> chunk);

struct ReceiveMode {
    ReadLoop read;
    ChunkFormat format;
};
inline constexpr ReceiveMode kStandardReceive{&receive_data, &format_received_chunk};
inline constexpr ReceiveMode kTirkReceive{&receive_tirk_data, &format_tirk_chunk};

// The printing half: prints each entry of `queue` in order with one write
// (a chunk as `format` has it, a line, a loss line), until the queue is
// closed and drained or abandoned. While `pause` is set only lines for
// standard error are printed.
void print_received(Console& console, ReceiveQueue& queue, const PauseFlag& pause,
                    ChunkFormat format);

// Runs the reading and the printing half on threads of their own, with the
// port's second handle. `join` is the normal end: the reader stops, and what
// it queued is printed before the printer ends. Going out of scope without
// `join` (a fatal stop) stops both without printing more; a printer that a
// console still holds after a short wait is left behind (it keeps the
// queue alive) rather than waited for.
class ReceiverThread {
  public:
    ReceiverThread(Console& console, std::unique_ptr<SerialPort> port, Flag running, Pause pause,
                   const ReceiveMode& mode, std::size_t capacity = ReceiveQueue::kDefaultCapacity);
    // With a second handle of `port`; a failed clone is fatal ("Failed to clone port").
    ReceiverThread(Console& console, const SerialPort& port, Flag running, Pause pause,
                   const ReceiveMode& mode);
    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;
    ~ReceiverThread();

    // Wakes the reader's read (`running` must be false by now, so it ends at
    // once instead of after its read timeout), waits for both threads, and
    // returns the failure's message if either ended by an exception.
    std::optional<std::string> join();
    // Waits for the threads and reports such a failure on standard error.
    void join_and_report(Console& console);

  private:
    struct Shared;

    void wake_reader();

    std::shared_ptr<Shared> shared_;
    Flag running_;
    Pause pause_;
    // The reader's handle while the reader holds it; guarded, since the
    // reader drops the handle when its loop ends.
    std::mutex reader_lock_;
    SerialPort* reader_ = nullptr;
    std::thread reader_thread_;
    std::thread printer_thread_;
};

}  // namespace portavik
