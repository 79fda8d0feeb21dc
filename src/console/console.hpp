// SPDX-License-Identifier: MIT

#pragma once

// Whole-line console output and line input over byte streams. The program
// uses the process's standard streams; tests plug in scripted ones.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.hpp"
#include "console/line_buffer.hpp"

namespace portavik {

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes all of `bytes`; false on failure.
    virtual bool write(std::string_view bytes) = 0;
    // Writes as much of `bytes` as the stream takes without waiting and says
    // how much that was: less than all where the stream is held (Ctrl+S, a
    // terminal nobody reads). A stream that cannot tell takes nothing here,
    // and write() does the rest; so does a failure, which write() reports.
    virtual std::size_t write_now(std::string_view bytes) {
        static_cast<void>(bytes);
        return 0;
    }
};

struct SourceRead {
    std::size_t count = 0;  // 0 with `failed` false is end of input
    bool failed = false;
};

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual SourceRead read(std::span<char> buffer) = 0;
};

// Why no line came: a failed read (I/O error, or a line that is not valid
// UTF-8, which is consumed) or the end of input.
enum class ReadError { Failed, Ended };
using LineResult = std::expected<std::string, ReadError>;

enum class Channel { Output, Error };

// The output lock: a mutex that serves waiters in the order they came. With
// a plain mutex a thread that prints without pause (the receiver with a
// backlog) takes it again before a waiting thread wakes, and the main
// thread's lines could wait for seconds behind it.
class FairLock {
  public:
    void lock();
    bool try_lock();
    void unlock();

  private:
    std::mutex guard_;
    std::condition_variable turn_;
    std::uint64_t next_ = 0;     // the ticket the next caller takes
    std::uint64_t serving_ = 0;  // the ticket that holds the lock
};

class Console {
  public:
    Console(ByteSource& in, ByteSink& out, ByteSink& err) : in_(in), out_(out), err_(err) {}

    // Writes `text` with one call under the output lock. Prompts go through
    // here too: nothing is buffered, so every print is also a flush.
    void print(std::string_view text);
    // The same, for a caller with better things to do than wait: where the
    // console cannot take `text` at once (another thread's print holds the
    // lock, or the stream is held), `before_waiting` is called once, and the
    // print then waits as above.
    void print(std::string_view text, const std::function<void()>& before_waiting);
    // `text` and a line break, whole.
    void line(std::string_view text);
    // A line on standard error.
    void error_line(std::string_view text);
    // Clears the screen under the output lock, so that no line of another
    // thread lands in the middle. By default this writes the terminal's
    // escape sequences; the platform may put another way in its place.
    void clear_screen();
    void set_clear_action(std::function<void()> action);

    // The end of the program is claimed once, by whichever way out comes
    // first (the Ctrl+C handler's thread, the main thread's return, a fatal
    // stop). The first claim writes its last words, if any, and silences the
    // console: every later print, line, error line and clear, of any thread,
    // is dropped. A later claim writes nothing and returns false: the first
    // claimant is ending the process, and the caller must leave that to it.
    // A failed write of the last words is ignored; the end goes on. The
    // claim never waits for a console that takes no output (a selection,
    // Ctrl+S, a terminal nobody reads): the last words wait for the output
    // lock and the write at most kLastWordsWait, on a thread of their own,
    // and are dropped if the console takes them no sooner.
    static constexpr std::chrono::milliseconds kLastWordsWait{50};
    bool claim_end(std::string_view last_words = {}, Channel channel = Channel::Output);

    // One line without its line feed. After an I/O error the input counts
    // as ended, so no prompt can spin on a dead stream.
    LineResult read_line();

  private:
    // Writes `text` whole to `channel`; the output lock is held. Nothing
    // once the end is claimed.
    void write_locked(Channel channel, std::string_view text);
    bool fill();
    // The next `length` bytes as a line, and the line feed after them dropped.
    LineResult take(std::size_t length, std::size_t skip);

    ByteSource& in_;
    ByteSink& out_;
    ByteSink& err_;
    std::function<void()> clear_action_;
    FairLock out_lock_;
    std::atomic<bool> ended_output_{false};
    // Bytes read but not yet returned start at pending_[taken_]; the search
    // for the next line feed resumes at scanned_, so a long line costs time
    // in proportion to its length (and memory about its size: LineBuffer).
    LineBuffer pending_;
    std::size_t taken_ = 0;
    std::size_t scanned_ = 0;
    bool ended_ = false;
};

// `text` cut after every line erase with carriage return ("\x1b[2K\r"), for a
// console that blanks whatever follows that sequence in the same write.
std::vector<std::string_view> split_after_line_erase(std::string_view text);

// The process's own streams. Never destroyed: a thread may still print
// through them while the process ends.
ByteSource& standard_input();
ByteSink& standard_output();
ByteSink& standard_error();

// Puts back what making the standard streams changed on the console (the
// output mode on Windows). For every way out, just before the process ends.
void restore_console_now();

// How the program clears its console on this platform; empty where the
// escape sequences do it.
std::function<void()> standard_clear_action();

}  // namespace portavik
