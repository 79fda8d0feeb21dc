// SPDX-License-Identifier: MIT

#pragma once

// A serial port without hardware: records writes, plays scripted reads and
// can fail any call. Clones share one device, as real handles do.

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/serial_port.hpp"

namespace portavik::testing {

using FakeBytes = std::vector<std::uint8_t>;

// One scripted read: data, or an error.
struct ReadStep {
    FakeBytes data;
    std::optional<IoError> error;
    std::function<void()> before;  // runs when this step is reached
};

inline ReadStep data_step(FakeBytes bytes) {
    return {std::move(bytes), std::nullopt, {}};
}
inline ReadStep data_step(std::string_view text) {
    return {FakeBytes(text.begin(), text.end()), std::nullopt, {}};
}
inline ReadStep timeout_step() {
    return {{}, IoError{IoKind::TimedOut, "время ожидания истекло"}, {}};
}
inline ReadStep error_step(std::string message) {
    return {{}, IoError{IoKind::BrokenPipe, std::move(message)}, {}};
}
inline ReadStep action_step(std::function<void()> action) {
    ReadStep step = timeout_step();
    step.before = std::move(action);
    return step;
}

struct FakeDevice {
    std::mutex lock;
    std::optional<std::string> name = std::string("COM3");
    LineSettings line{.baud_rate = 9600};
    std::chrono::milliseconds timeout{50};

    std::optional<SerialError> query_error;   // every read of the line fails with it
    std::optional<SerialError> setter_error;  // every change of the line fails with it
    std::optional<SerialError> clone_error;
    std::optional<IoError> write_error;
    LineCounts line_counts;  // what line_counts() reports

    std::vector<FakeBytes> writes;  // one entry per write_all
    std::deque<ReadStep> reads;
    // When the script is used up: a timeout after a short nap.
    int read_calls = 0;
    int setter_calls = 0;
    int cancel_calls = 0;

    FakeBytes all_written() {
        std::lock_guard guard(lock);
        FakeBytes all;
        for (const auto& w : writes) {
            all.insert(all.end(), w.begin(), w.end());
        }
        return all;
    }
};

class FakePort final : public SerialPort {
  public:
    explicit FakePort(std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>())
        : device_(std::move(device)) {}

    FakeDevice& device() { return *device_; }
    std::shared_ptr<FakeDevice> shared_device() { return device_; }

    std::optional<std::string> name() const override {
        std::lock_guard guard(device_->lock);
        return device_->name;
    }
    std::chrono::milliseconds timeout() const override {
        std::lock_guard guard(device_->lock);
        return device_->timeout;
    }

    SerialResult<LineSettings> line_settings() const override {
        std::lock_guard guard(device_->lock);
        if (device_->query_error) {
            return std::unexpected(*device_->query_error);
        }
        return device_->line;
    }
    SerialResult<void> set_line_settings(const LineSettings& line) override {
        std::lock_guard guard(device_->lock);
        ++device_->setter_calls;
        if (device_->setter_error) {
            return std::unexpected(*device_->setter_error);
        }
        device_->line = line;
        return {};
    }

    SerialResult<std::unique_ptr<SerialPort>> try_clone() const override {
        std::lock_guard guard(device_->lock);
        if (device_->clone_error) {
            return std::unexpected(*device_->clone_error);
        }
        return std::make_unique<FakePort>(device_);
    }

    IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
        ReadStep step;
        {
            std::lock_guard guard(device_->lock);
            ++device_->read_calls;
            if (device_->reads.empty()) {
                step = timeout_step();
            } else {
                step = std::move(device_->reads.front());
                device_->reads.pop_front();
            }
        }
        if (step.before) {
            step.before();
        }
        if (step.error) {
            if (step.error->kind == IoKind::TimedOut) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return std::unexpected(*step.error);
        }
        // More data than fits stays for the next read, as in a real port.
        const std::size_t n = std::min(buffer.size(), step.data.size());
        std::memcpy(buffer.data(), step.data.data(), n);
        if (n < step.data.size()) {
            std::lock_guard guard(device_->lock);
            device_->reads.push_front(data_step(
                FakeBytes(step.data.begin() + static_cast<std::ptrdiff_t>(n), step.data.end())));
        }
        return n;
    }

    IoResult<void> write_all(std::span<const std::uint8_t> bytes) override {
        std::lock_guard guard(device_->lock);
        if (device_->write_error) {
            return std::unexpected(*device_->write_error);
        }
        device_->writes.emplace_back(bytes.begin(), bytes.end());
        return {};
    }

    void cancel_read() override {
        std::lock_guard guard(device_->lock);
        ++device_->cancel_calls;
    }

    LineCounts line_counts() const override {
        std::lock_guard guard(device_->lock);
        return device_->line_counts;
    }

  private:
    std::shared_ptr<FakeDevice> device_;
};

inline FakeBytes bytes_of(std::string_view text) {
    return FakeBytes(text.begin(), text.end());
}

}  // namespace portavik::testing
