// SPDX-License-Identifier: MIT

#include "console/console.hpp"

#include <array>
#include <condition_variable>
#include <memory>
#include <system_error>
#include <thread>

#include "text/utf8.hpp"

namespace portavik {

void FairLock::lock() {
    std::unique_lock lock(guard_);
    const std::uint64_t ticket = next_++;
    if (ticket != serving_) {
        turn_.wait(lock, [&] { return serving_ == ticket; });
    }
}

bool FairLock::try_lock() {
    std::lock_guard lock(guard_);
    if (next_ != serving_) {
        return false;  // held, or waited for
    }
    ++next_;
    return true;
}

void FairLock::unlock() {
    std::lock_guard lock(guard_);
    // Tickets taken and not yet served belong to waiting threads.
    if (++serving_ != next_) {
        turn_.notify_all();
    }
}

void Console::write_locked(Channel channel, std::string_view text) {
    if (ended_output_) {
        return;
    }
    if (channel == Channel::Error) {
        if (!err_.write(text)) {
            throw OutputError("Ошибка записи в стандартный поток ошибок");
        }
    } else if (!out_.write(text)) {
        throw OutputError("Ошибка записи в стандартный вывод");
    }
}

void Console::print(std::string_view text) {
    std::lock_guard lock(out_lock_);
    write_locked(Channel::Output, text);
}

void Console::print(std::string_view text, const std::function<void()>& before_waiting) {
    std::unique_lock lock(out_lock_, std::try_to_lock);
    const bool told = !lock.owns_lock();
    if (told) {
        before_waiting();
        lock.lock();
    }
    if (ended_output_) {
        return;
    }
    const std::size_t taken = out_.write_now(text);
    if (taken < text.size()) {
        if (!told) {
            before_waiting();
        }
        write_locked(Channel::Output, text.substr(taken));
    }
}

void Console::line(std::string_view text) {
    std::string whole;
    whole.reserve(text.size() + 1);
    whole.append(text);
    whole += '\n';
    print(whole);
}

void Console::error_line(std::string_view text) {
    std::string whole(text);
    whole += '\n';
    std::lock_guard lock(out_lock_);
    write_locked(Channel::Error, whole);
}

void Console::clear_screen() {
    std::lock_guard lock(out_lock_);
    if (ended_output_) {
        return;
    }
    if (clear_action_) {
        clear_action_();
        return;
    }
    // Home, erase the display, erase the scrollback (xterm "ED 3").
    write_locked(Channel::Output, "\x1b[H\x1b[2J\x1b[3J");
}

void Console::set_clear_action(std::function<void()> action) {
    std::lock_guard lock(out_lock_);
    clear_action_ = std::move(action);
}

bool Console::claim_end(std::string_view last_words, Channel channel) {
    if (ended_output_.exchange(true)) {
        return false;
    }
    if (last_words.empty()) {
        return true;
    }
    struct LastWords {
        std::string text;
        std::mutex lock;
        std::condition_variable written;
        bool done = false;
    };
    auto words = std::make_shared<LastWords>();
    words->text = last_words;
    ByteSink* sink = channel == Channel::Error ? &err_ : &out_;
    const auto write = [this, words, sink] {
        {
            std::lock_guard out(out_lock_);
            sink->write(words->text);
        }
        std::lock_guard lock(words->lock);
        words->done = true;
        words->written.notify_all();
    };
    try {
        std::thread(write).detach();
    } catch (const std::system_error&) {
        write();
        return true;
    }
    std::unique_lock lock(words->lock);
    words->written.wait_for(lock, kLastWordsWait, [&words] { return words->done; });
    return true;
}

bool Console::fill() {
    // What was returned already goes before the buffer grows again.
    if (taken_ > 0) {
        pending_.erase_front(taken_);
        scanned_ -= taken_;
        taken_ = 0;
    }
    std::array<char, 4096> buffer;
    const SourceRead got = in_.read(buffer);
    if (got.failed) {
        ended_ = true;
        pending_.clear();
        scanned_ = 0;
        return false;
    }
    if (got.count == 0) {
        ended_ = true;
    } else {
        pending_.append(std::string_view(buffer.data(), got.count));
    }
    return true;
}

LineResult Console::take(std::size_t length, std::size_t skip) {
    std::string text;
    if (taken_ == 0) {
        // A line that starts the buffer (a long one always does) leaves it
        // without ever being held twice.
        text = pending_.take_front(length, skip);
    } else {
        text = pending_.view().substr(taken_, length);
        taken_ += length + skip;
    }
    if (taken_ == pending_.size()) {
        pending_.clear();
        taken_ = 0;
    }
    scanned_ = taken_;
    if (!is_valid_utf8(text)) {
        return std::unexpected(ReadError::Failed);
    }
    return text;
}

LineResult Console::read_line() {
    for (;;) {
        const std::string_view pending = pending_.view();
        if (const auto end = pending.find('\n', scanned_); end != std::string_view::npos) {
            return take(end - taken_, 1);
        }
        scanned_ = pending.size();
        if (ended_) {
            if (taken_ == pending.size()) {
                return std::unexpected(ReadError::Ended);
            }
            // The last line had no line feed.
            return take(pending.size() - taken_, 0);
        }
        if (!fill()) {
            return std::unexpected(ReadError::Failed);
        }
    }
}

std::vector<std::string_view> split_after_line_erase(std::string_view text) {
    constexpr std::string_view kErase = "\x1b[2K\r";
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto at = text.find(kErase);
        if (at == std::string_view::npos || at + kErase.size() == text.size()) {
            pieces.push_back(text);
            return pieces;
        }
        pieces.push_back(text.substr(0, at + kErase.size()));
        text.remove_prefix(at + kErase.size());
    }
}

}  // namespace portavik
