// SPDX-License-Identifier: MIT

#include "stream_sender.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "device_log.hpp"

namespace portavik::device {

namespace {

constexpr std::chrono::seconds kLossLogPeriod{1};
// A character on an 8N1 line: start bit, 8 data bits, stop bit.
constexpr std::uint64_t kBitsPerByte = 10;

}  // namespace

void StreamSender::start(Clock::time_point now) {
    stream_.restart();
    backlog_.clear();
    sent_ = lost_ = lost_unlogged_ = 0;
    rate_ = 0;
    running_ = true;
    rebase(now);
    next_ = now;
    loss_logged_at_ = now - kLossLogPeriod;
    log_event("поток начат");
}

void StreamSender::rebase(Clock::time_point now) {
    base_time_ = now;
    base_count_ = stream_.produced();
}

std::uint64_t StreamSender::due(Clock::time_point now) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - base_time_);
    const std::uint64_t total =
        base_count_ + static_cast<std::uint64_t>(elapsed.count()) * rate_ / 1'000'000;
    return total > stream_.produced() ? total - stream_.produced() : 0;
}

std::size_t StreamSender::write_some(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // EAGAIN: the port takes no more now; anything else: it is going.
            break;
        }
    }
    return done;
}

void StreamSender::tick(int fd, Clock::time_point now, std::uint32_t baud, bool held,
                        bool xon_xoff) {
    if (!running_) {
        return;
    }
    next_ = now + kTick;
    const std::uint64_t rate = baud / kBitsPerByte;
    if (rate != rate_) {
        // Bytes due at the old rate up to now still go; the new rate counts from here.
        base_count_ = stream_.produced() + due(now);
        base_time_ = now;
        rate_ = rate;
    }
    if (held) {
        rebase(now);
        return;
    }
    if (!backlog_.empty()) {
        const std::size_t n = write_some(fd, backlog_);
        sent_ += n;
        backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<std::ptrdiff_t>(n));
        if (!backlog_.empty()) {
            rebase(now);
            return;
        }
    }
    slice_.clear();
    stream_.append(slice_, due(now));
    const std::size_t n = write_some(fd, slice_);
    sent_ += n;
    if (n < slice_.size()) {
        if (uart_ && !(xoff_when_full_ && xon_xoff)) {
            lost_ += slice_.size() - n;
            lost_unlogged_ += slice_.size() - n;
        } else {
            backlog_.assign(slice_.begin() + static_cast<std::ptrdiff_t>(n), slice_.end());
            rebase(now);
        }
    }
    log_loss(now, false);
    if (stream_.ended() && backlog_.empty()) {
        finish("поток окончен");
    }
}

void StreamSender::log_loss(Clock::time_point now, bool always) {
    if (lost_unlogged_ == 0 || (!always && now - loss_logged_at_ < kLossLogPeriod)) {
        return;
    }
    log_event("потеряно " + std::to_string(lost_unlogged_) + " байт: порт не принял их сразу");
    lost_unlogged_ = 0;
    loss_logged_at_ = now;
}

void StreamSender::finish(const char* how) {
    log_loss(Clock::now(), true);
    running_ = false;
    log_event(std::string(how) + ": отправлено " + std::to_string(sent_) + " байт, потеряно " +
              std::to_string(lost_) + " байт");
}

void StreamSender::stop() {
    if (running_) {
        finish("поток прерван");
    }
}

std::optional<StreamSender::Clock::time_point> StreamSender::next_tick() const {
    if (!running_) {
        return std::nullopt;
    }
    return next_;
}

}  // namespace portavik::device
