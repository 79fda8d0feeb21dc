#pragma once

// The receiver thread: reads what the device sends and prints it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "console/console.hpp"
#include "serial/serial_port.hpp"

namespace portavik {

// A flag shared by the main thread, the receiver and the Ctrl+C handler;
// every access is relaxed.
using Flag = std::shared_ptr<std::atomic<bool>>;
Flag make_flag(bool value);

inline constexpr std::size_t kReceiveBufferSize = 1024;

// Standard mode: HEX line, plus a text line for printable ASCII. Stops reading
// while paused (data waits in the port). Ends when `running` is false or after
// the first read error that is not a timeout.
void receive_data(Console& console, SerialPort& port, Flag running, Flag pause_receiver);

// ТИРК mode: HEX line only; keeps reading while paused and drops what comes.
// Reports failed reads on standard error, paced by ReadFailurePacer, and goes
// on. Ends when `running` is false.
void receive_tirk_data(Console& console, SerialPort& port, Flag running, Flag pause_receiver);

// How the ТИРК loop paces failed reads, so that a device that is gone does
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

// All bytes of `buffer`, leaving it empty; nothing when it was empty.
std::optional<std::vector<std::uint8_t>> take_received_data(std::vector<std::uint8_t>& buffer);

// Printable ASCII (33..126) and ASCII white space (tab, LF, FF, CR, space) only.
bool is_printable_text(std::span<const std::uint8_t> chunk);

// What the standard receiver prints for one chunk: its HEX line and, when the
// chunk is printable text, its text line, both with line breaks. Replaces the
// content of `lines`, keeping its capacity, so one buffer serves every chunk.
void format_received_chunk(std::string& lines, std::span<const std::uint8_t> chunk);

using ReceiveLoop = void (*)(Console&, SerialPort&, Flag, Flag);

// Runs `loop` on its own thread with the port's second handle. If the owner
// goes out of scope without `join` (a fatal stop), the thread is told to stop
// and joined, so no thread outlives the port.
class ReceiverThread {
  public:
    ReceiverThread(Console& console, std::unique_ptr<SerialPort> port, Flag running,
                   Flag pause_receiver, ReceiveLoop loop);
    // With a second handle of `port`; a failed clone is fatal ("Failed to clone port").
    ReceiverThread(Console& console, const SerialPort& port, Flag running, Flag pause_receiver,
                   ReceiveLoop loop);
    ReceiverThread(const ReceiverThread&) = delete;
    ReceiverThread& operator=(const ReceiverThread&) = delete;
    ~ReceiverThread();

    // Wakes the thread's read (`running` must be false by now, so the loop
    // ends at once instead of after its read timeout) and waits for the
    // thread; the failure's message if it ended by an exception.
    std::optional<std::string> join();
    // Waits for the thread and reports such a failure on standard error.
    void join_and_report(Console& console);

  private:
    void wake_reader();

    Flag running_;
    std::optional<std::string> failure_;
    // The thread's handle while the thread holds it; guarded, since the
    // thread drops the handle when its loop ends.
    std::mutex reader_lock_;
    SerialPort* reader_ = nullptr;
    std::thread thread_;
};

}  // namespace portavik
