// SPDX-License-Identifier: MIT

#pragma once

// A console over scripted input and captured output.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "console/console.hpp"

namespace portavik::testing {

// Hands out the script in reads of at most `chunk` bytes; optionally fails
// (as an I/O error would) once the script is used up instead of ending.
class ScriptedInput final : public ByteSource {
  public:
    explicit ScriptedInput(std::string script, std::size_t chunk = 4096, bool fail_at_end = false)
        : script_(std::move(script)), chunk_(chunk), fail_at_end_(fail_at_end) {}

    SourceRead read(std::span<char> buffer) override {
        ++reads_;
        std::this_thread::sleep_for(pause_);
        if (at_ == script_.size()) {
            if (before_end) {
                std::exchange(before_end, {})();
            }
            return {0, fail_at_end_};
        }
        const std::size_t n = std::min({buffer.size(), chunk_, script_.size() - at_});
        std::copy_n(script_.data() + at_, n, buffer.data());
        at_ += n;
        return {n, false};
    }

    int reads() const { return reads_; }

    // Runs once when the script is used up, before the end is reported.
    std::function<void()> before_end;
    // At most `chunk` bytes a read, each `pause` after the last, so that
    // another thread runs meanwhile.
    void pace(std::size_t chunk, std::chrono::microseconds pause) {
        chunk_ = chunk;
        pause_ = pause;
    }

  private:
    std::string script_;
    std::size_t chunk_;
    bool fail_at_end_;
    std::chrono::microseconds pause_{0};
    std::size_t at_ = 0;
    int reads_ = 0;
};

class CapturedOutput final : public ByteSink {
  public:
    bool write(std::string_view bytes) override {
        std::unique_lock lock(lock_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
        --waiting_;
        if (failing_) {
            return false;
        }
        text_.append(bytes);
        ++writes_;
        changed_.notify_all();
        return true;
    }
    // Takes all of `bytes` unless held or failing, as a terminal does.
    std::size_t write_now(std::string_view bytes) override {
        std::lock_guard lock(lock_);
        if (held_ || failing_) {
            return 0;
        }
        text_.append(bytes);
        ++writes_;
        changed_.notify_all();
        return bytes.size();
    }
    // While held, writes wait, as on a console whose output is stopped (a
    // text selection, Ctrl+S, a terminal nobody reads).
    void hold(bool held) {
        std::lock_guard lock(lock_);
        held_ = held;
        changed_.notify_all();
    }
    // Whether a write came to wait, or `count` writes were done, within `limit`.
    bool wait_for_waiting_write(std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, limit, [this] { return waiting_ > 0; });
    }
    bool wait_for_writes(int count, std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, limit, [&] { return writes_ >= count; });
    }
    std::string text() const {
        std::lock_guard lock(lock_);
        return text_;
    }
    void clear() {
        std::lock_guard lock(lock_);
        text_.clear();
    }
    void set_failing(bool failing) {
        std::lock_guard lock(lock_);
        failing_ = failing;
    }
    int writes() const {
        std::lock_guard lock(lock_);
        return writes_;
    }

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string text_;
    bool failing_ = false;
    bool held_ = false;
    int waiting_ = 0;
    int writes_ = 0;
};

struct TestConsole {
    explicit TestConsole(std::string script = "", std::size_t chunk = 4096,
                         bool fail_at_end = false)
        : in(std::move(script), chunk, fail_at_end), console(in, out, err) {}

    std::string output() const { return out.text(); }
    std::string errors() const { return err.text(); }

    ScriptedInput in;
    CapturedOutput out;
    CapturedOutput err;
    Console console;
};

}  // namespace portavik::testing
