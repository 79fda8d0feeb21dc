// SPDX-License-Identifier: MIT

// Bytes from the line are gathered into a frame until the line has been
// quiet for the frame silence of the settings in force; the frame then goes
// to the behaviour, and its reply (if any) goes out at once. Unsolicited
// output and the stream only go out while a program has the port open: with
// nobody on the slave side, the master reports a hang-up and writes fail.
// Writes never wait: the master is non-blocking.

#include "device_loop.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "device_log.hpp"
#include "device_line.hpp"
#include "stop_signals.hpp"
#include "stream_sender.hpp"

namespace portavik::device {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often a port nobody has open is looked at again: an open wakes the
// loop at once through the watch on the slave, without it only this does.
constexpr auto kClosedPollWatched = 1s;
constexpr auto kClosedPoll = 100ms;
// How often the line settings are read back while nothing happens.
constexpr auto kSettingsPoll = 250ms;
// A line that never goes quiet still yields frames of at most this size.
constexpr std::size_t kMaxFrame = 4096;
// Software flow control (DC1 and DC3, the termios defaults for VSTART and
// VSTOP).
constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;

class DeviceLoop {
  public:
    DeviceLoop(int master, int opens, int signals, Behaviour& behaviour, bool uart,
               bool xoff_when_full)
        : master_(master), signals_(signals), opens_(opens), behaviour_(behaviour), uart_(uart) {
        if (ByteStream* stream = behaviour_.stream()) {
            stream_.emplace(*stream, uart_, xoff_when_full);
        }
    }

    int run() {
        for (;;) {
            const auto events = wait();
            if (events.signal != 0) {
                if (!pending_.empty()) {
                    finish_frame();
                }
                if (stream_) {
                    stream_->stop();
                }
                return events.signal;
            }
            if (!open_) {
                probe_master();
            } else if (events.master != 0) {
                on_master(events.master);
            }
            if (open_) {
                follow_settings();
            }
            const auto now = Clock::now();
            if (!pending_.empty() && now >= last_byte_ + frame_silence(settings_)) {
                finish_frame();
            }
            if (open_ && next_tick_ && now >= *next_tick_) {
                // Held output is not worth keeping.
                if (!held_) {
                    send(behaviour_.unsolicited(), "");
                }
                if (auto period = behaviour_.period()) {
                    next_tick_ = Clock::now() + *period;
                }
            }
            if (open_ && stream_) {
                if (const auto due = stream_->next_tick(); due && now >= *due) {
                    stream_->tick(master_, now, settings_.baud, held_, settings_.xon_xoff);
                }
            }
        }
    }

  private:
    struct Events {
        int signal = 0;
        short master = 0;
    };

    Clock::time_point deadline() const {
        const auto now = Clock::now();
        auto at = now + (open_ ? kSettingsPoll : opens_ >= 0 ? kClosedPollWatched : kClosedPoll);
        if (!pending_.empty()) {
            at = std::min(at, last_byte_ + frame_silence(settings_));
        }
        if (open_ && next_tick_) {
            at = std::min(at, *next_tick_);
        }
        if (open_ && stream_) {
            if (const auto due = stream_->next_tick()) {
                at = std::min(at, *due);
            }
        }
        return at;
    }

    // Sleeps until the deadline, a signal, and something from the master
    // while the port is open, or an open of the slave while it is closed.
    Events wait() {
        const auto left = std::max(Clock::duration::zero(), deadline() - Clock::now());
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<std::time_t>(secs.count()),
                               static_cast<long>((left - secs) / 1ns)};
        std::array<pollfd, 2> fds{pollfd{signals_, POLLIN, 0},
                                  pollfd{open_ ? master_ : opens_, POLLIN, 0}};
        const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
        Events events;
        if (::ppoll(fds.data(), count, &timeout, nullptr) > 0) {
            if ((fds[0].revents & POLLIN) != 0) {
                events.signal = take_stop_signal(signals_);
            }
            if (open_) {
                events.master = fds[1].revents;
            } else if (count == 2 && fds[1].revents != 0) {
                drain_opens();
            }
        }
        return events;
    }

    void drain_opens() {
        std::array<char, 4096> buffer{};
        while (::read(opens_, buffer.data(), buffer.size()) > 0) {
        }
    }

    // While nobody has the slave open the master reports POLLHUP at once.
    void probe_master() {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, 0) < 0 || ((fd.revents & POLLHUP) != 0 && (fd.revents & POLLIN) == 0)) {
            return;
        }
        open_ = true;
        settings_ = read_device_line(master_);
        log_event("порт открыт [" + describe(settings_) + "]");
        if (auto period = behaviour_.period()) {
            next_tick_ = Clock::now() + *period;
        }
        if (stream_) {
            stream_->start(Clock::now());
        }
        if ((fd.revents & POLLIN) != 0) {
            on_master(fd.revents);
        }
    }

    void on_master(short revents) {
        if ((revents & POLLIN) != 0) {
            read_available();
        } else if ((revents & (POLLHUP | POLLERR)) != 0) {
            closed();
        }
    }

    void read_available() {
        // The bytes are taken under the settings in force when they came.
        follow_settings();
        std::array<std::uint8_t, 1024> buffer{};
        for (;;) {
            const ssize_t n = ::read(master_, buffer.data(), buffer.size());
            if (n > 0) {
                take(std::span(buffer).first(static_cast<std::size_t>(n)));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // EAGAIN: all read. EIO: the last program on the slave closed it;
            // end of file: a serial line (--port) that was hung up.
            if (n == 0 || (n < 0 && errno == EIO)) {
                closed();
            }
            return;
        }
    }

    // With software flow control in force, XOFF from the other side holds
    // the device's replies until XON; both are taken out of the data.
    void take(std::span<const std::uint8_t> bytes) {
        for (const std::uint8_t byte : bytes) {
            if (settings_.xon_xoff && (byte == kXon || byte == kXoff)) {
                hold(byte == kXoff);
                continue;
            }
            pending_.push_back(byte);
            last_byte_ = Clock::now();
            if (pending_.size() >= kMaxFrame) {
                finish_frame();
            }
        }
    }

    void hold(bool held) {
        if (held == held_) {
            return;
        }
        held_ = held;
        log_event(held_ ? "XOFF: вывод приостановлен" : "XON: вывод возобновлён");
        if (!held_) {
            for (auto& [bytes, note] : std::exchange(held_replies_, {})) {
                send(bytes, std::move(note));
            }
        }
    }

    void closed() {
        if (!pending_.empty()) {
            finish_frame();
        }
        held_ = false;
        held_replies_.clear();
        if (stream_) {
            stream_->stop();
        }
        if (open_) {
            log_event("порт закрыт");
        }
        open_ = false;
        next_tick_.reset();
    }

    void follow_settings() {
        const DeviceLine now = read_device_line(master_);
        if (now != settings_) {
            settings_ = now;
            log_event("настройки линии: " + describe(settings_));
            if (!settings_.xon_xoff) {
                hold(false);
            }
        }
    }

    void finish_frame() {
        const Bytes frame = std::exchange(pending_, {});
        Reaction reaction = behaviour_.on_frame(frame);
        log_frame(settings_, true, frame, reaction.note);
        if (!reaction.reply.empty()) {
            send(reaction.reply, std::move(reaction.reply_note));
        }
    }

    void send(const Bytes& bytes, std::string note) {
        if (bytes.empty()) {
            return;
        }
        if (held_) {
            held_replies_.emplace_back(bytes, std::move(note));
            return;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN && uart_) {
                note = "потеряно " + std::to_string(bytes.size() - done) +
                       " байт: порт не принял их сразу";
            } else if (n < 0 && errno == EAGAIN) {
                note = "порт не принимает данные: отправлено " + std::to_string(done) + " из " +
                       std::to_string(bytes.size()) + " байт";
            } else {
                note = "не отправлено (" + std::string(std::strerror(errno)) + ")";
            }
            break;
        }
        log_frame(settings_, false, bytes, note);
    }

    int master_;
    int signals_;
    int opens_;
    Behaviour& behaviour_;
    bool uart_;
    std::optional<StreamSender> stream_;
    bool open_ = false;
    DeviceLine settings_;
    Bytes pending_;
    Clock::time_point last_byte_;
    bool held_ = false;
    std::vector<std::pair<Bytes, std::string>> held_replies_;
    std::optional<Clock::time_point> next_tick_;
};

}  // namespace

int run_device(int master_fd, int opens_fd, int signal_fd, Behaviour& behaviour, bool uart,
               bool xoff_when_full) {
    return DeviceLoop(master_fd, opens_fd, signal_fd, behaviour, uart, xoff_when_full).run();
}

}  // namespace portavik::device
