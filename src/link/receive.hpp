// SPDX-License-Identifier: MIT

#pragma once

// The receiver: two threads that share the reading of the port and the
// printing of what it brings. The thread that read a chunk prints it itself
// when nothing waits and nobody is printing, then reads on; the other takes
// the reading over when a print keeps the port unread for a few
// milliseconds, and what it reads meanwhile waits in a ReceiveQueue. So the
// port is drained however long the console is held, and a chunk crosses to
// another thread only when the console is slow or held.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "console/console.hpp"
#include "link/receive_queue.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// A flag shared by the main thread, the receiver and the Ctrl+C handler;
// every access is relaxed.
using Flag = std::shared_ptr<std::atomic<bool>>;
Flag make_flag(bool value);

// How the ТИРК receiver paces failed reads, so that a device that is gone
// does not flood standard error: after each failure the loop waits, one read
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

using ChunkFormat = void (*)(std::string& lines, std::span<const std::uint8_t> chunk);

// Standard mode: every chunk is kept while the receiver is paused and printed
// afterwards; the first read error that is not a timeout is said on standard
// output ("❌ Ошибка чтения из порта: ...", unless `running` is false by then)
// and ends the reading. ТИРК mode: what is read while paused is dropped;
// failed reads go to standard error, paced by ReadFailurePacer, and reading
// goes on.
struct ReceiveMode {
    ChunkFormat format;
    bool tirk;
};
inline constexpr ReceiveMode kStandardReceive{&format_received_chunk, false};
inline constexpr ReceiveMode kTirkReceive{&format_tirk_chunk, true};

// Runs the receiver on the port's second handle until `join` or the end of
// its scope. Reading stops when `running` is false. With hardware or
// software flow control in force a full queue stops the reading (the line's
// flow control then holds the device); without, what does not fit is
// dropped and a loss line says how much.
class ReceiverThread {
  public:
    ReceiverThread(Console& console, std::unique_ptr<SerialPort> port, Flag running,
                   const ReceiveMode& mode, std::size_t capacity = ReceiveQueue::kDefaultCapacity);
    // With a second handle of `port`; a failed clone is fatal ("Failed to clone port").
    ReceiverThread(Console& console, const SerialPort& port, Flag running,
                   const ReceiveMode& mode);
    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;
    // A fatal stop: reading ends at once, nothing more is printed, and a
    // thread that a console holds in a print is left behind, not waited for.
    ~ReceiverThread();

    // `pause_receiver`: the main thread takes the console to itself (a send
    // submenu, a ТИРК editor). Returns once no print of the receiver is under
    // way; nothing is printed on standard output until `resume`.
    void pause();
    // And gives it back; returns once what was held back has been printed,
    // so that the main thread's next lines (the menu) come after it.
    void resume();
    bool paused() const;

    // The normal end (`running` must be false by now): the read under way is
    // woken, what is queued is printed for at most kDrainLimit after the
    // reading ended, then one line says how many received bytes were not
    // shown. Returns the failure's message if a thread ended by an exception.
    std::optional<std::string> join();
    // Joins and reports such a failure on standard error.
    void join_and_report(Console& console);

    static constexpr std::chrono::seconds kDrainLimit{1};

  private:
    struct Shared;

    std::shared_ptr<Shared> shared_;
    std::thread threads_[2];
};

// The queue capacity for `ReceiverThread`'s port-copying constructor: the
// default, or for tests a smaller one in PORTAVIK_TEST_QUEUE_BYTES.
std::size_t receive_queue_capacity();

}  // namespace portavik
