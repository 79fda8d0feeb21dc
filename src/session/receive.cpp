// SPDX-License-Identifier: MIT

#include "session/receive.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <utility>

#include "codec/hex.hpp"
#include "serial/lost_input.hpp"

namespace portavik {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr std::string_view kHexLabel = "📥 Получено (HEX): ";
constexpr std::string_view kTextLabel = "📥 Получено (текст): ";
constexpr std::string_view kTirkLabel = "📥 Получены данные: ";
// How long a fatal stop waits for a printer that the console holds.
constexpr auto kPrinterGrace = std::chrono::milliseconds(200);

// Bytes a chunk may hold and still be shown as text: printable ASCII and
// tab, LF, FF, CR, space. Anything of 0x80 or more fails, so such a chunk is
// also valid UTF-8.
constexpr std::array<bool, 256> kPrintable = [] {
    std::array<bool, 256> table{};
    for (int byte = 33; byte <= 126; ++byte) {
        table[static_cast<std::size_t>(byte)] = true;
    }
    for (const char space : {'\t', '\n', '\f', '\r', ' '}) {
        table[static_cast<unsigned char>(space)] = true;
    }
    return table;
}();

// Sleeps `wait` in slices of at most `slice`, so that a cleared `running`
// ends the wait within one slice.
void wait_while_running(const std::atomic<bool>& running, std::chrono::steady_clock::duration wait,
                        std::chrono::steady_clock::duration slice) {
    const auto step =
        std::max(slice, std::chrono::steady_clock::duration(std::chrono::milliseconds(1)));
    const auto until = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < until && running.load(kRelaxed);
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(std::min(step, until - now));
    }
}

// One read of the port: nothing when it timed out, else the bytes or the
// failure. What the driver counted on the line (bytes it lost, garbled
// characters) goes to standard error in its place among the data
// (LostInputNotice paces it).
std::optional<IoResult<std::size_t>> read_once(SerialPort& port, std::span<std::uint8_t> buffer,
                                               ReceiveQueue& queue, LostInputNotice& notice) {
    auto got = port.read(buffer);
    for (std::string& line : notice.check(port, LostInputNotice::Clock::now())) {
        queue.push_line(Channel::Error, std::move(line));
    }
    if (!got && got.error().kind == IoKind::TimedOut) {
        return std::nullopt;
    }
    return got;
}

}  // namespace

ReadFailurePacer::Step ReadFailurePacer::failed(const std::string& message, Clock::time_point now) {
    next_wait_ = next_wait_ == Clock::duration::zero()
                     ? first_wait_
                     : std::min<Clock::duration>(next_wait_ * 2, kLongest);
    const bool print = !last_printed_ || *last_printed_ != message || now - printed_at_ >= kLongest;
    if (print) {
        last_printed_ = message;
        printed_at_ = now;
    }
    return {print, next_wait_};
}

void ReadFailurePacer::succeeded() {
    next_wait_ = Clock::duration::zero();
    last_printed_.reset();
}

Flag make_flag(bool value) {
    return std::make_shared<std::atomic<bool>>(value);
}

void PauseFlag::pause() {
    paused_.store(true, kRelaxed);
}

void PauseFlag::resume() {
    paused_.store(false, kRelaxed);
    std::lock_guard lock(lock_);
    if (wake_) {
        wake_();
        wait_printed_();
    }
}

void PauseFlag::attach(std::function<void()> wake, std::function<void()> wait_printed) {
    std::lock_guard lock(lock_);
    wake_ = std::move(wake);
    wait_printed_ = std::move(wait_printed);
}

void PauseFlag::detach() {
    attach({}, {});
}

Pause make_pause() {
    return std::make_shared<PauseFlag>();
}

bool is_printable_text(std::span<const std::uint8_t> chunk) {
    for (const std::uint8_t byte : chunk) {
        if (!kPrintable[byte]) {
            return false;
        }
    }
    return true;
}

void format_received_chunk(std::string& lines, std::span<const std::uint8_t> chunk) {
    lines.assign(kHexLabel);
    append_hex_output(lines, chunk);
    lines += '\n';
    if (is_printable_text(chunk)) {
        lines += kTextLabel;
        lines.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
        lines += '\n';
    }
}

void format_tirk_chunk(std::string& lines, std::span<const std::uint8_t> chunk) {
    lines.assign(kTirkLabel);
    append_hex_output(lines, chunk);
    lines += '\n';
}

std::string loss_line(std::uint64_t lost_bytes, std::uint64_t lost_lines) {
    std::string line =
        "⚠️ Очередь приёма переполнена: потеряно " +
        std::to_string(lost_bytes) + " байт";
    if (lost_lines > 0) {
        line += ", сообщений об ошибках: " + std::to_string(lost_lines);
    }
    line += '\n';
    return line;
}

void receive_data(SerialPort& port, const std::atomic<bool>& running, const PauseFlag&,
                  ReceiveQueue& queue) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    LostInputNotice lost_input;
    while (running.load(kRelaxed) && !queue.abandoned()) {
        const auto got = read_once(port, buffer, queue, lost_input);
        if (!got) {
            continue;
        }
        if (!*got) {
            if (running.load(kRelaxed)) {
                queue.push_line(Channel::Output,
                                "❌ Ошибка чтения из порта: " + got->error().message);
            }
            return;
        }
        if (**got > 0) {
            queue.push_data(std::span<const std::uint8_t>(buffer.data(), **got));
        }
    }
}

void receive_tirk_data(SerialPort& port, const std::atomic<bool>& running, const PauseFlag& pause,
                       ReceiveQueue& queue) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    ReadFailurePacer pacer(port.timeout());
    LostInputNotice lost_input;
    while (running.load(kRelaxed) && !queue.abandoned()) {
        const auto got = read_once(port, buffer, queue, lost_input);
        if (!got) {
            continue;
        }
        if (!*got) {
            const auto& message = got->error().message;
            const auto step = pacer.failed(message, ReadFailurePacer::Clock::now());
            if (step.print) {
                queue.push_line(Channel::Error, "Ошибка чтения: " + message);
            }
            // A device that is gone fails every read at once.
            wait_while_running(running, step.wait, port.timeout());
            continue;
        }
        pacer.succeeded();
        if (**got > 0 && !pause.is_set()) {
            queue.push_data(std::span<const std::uint8_t>(buffer.data(), **got));
        }
    }
}

namespace {

// What the printer writes for `entry`, and where.
Channel render(const ReceiveQueue::Entry& entry, ChunkFormat format, std::string& lines) {
    switch (entry.kind) {
        case ReceiveQueue::Entry::Kind::Data:
            format(lines, entry.data());
            return Channel::Output;
        case ReceiveQueue::Entry::Kind::Line:
            lines.assign(entry.text);
            lines += '\n';
            return entry.stream;
        case ReceiveQueue::Entry::Kind::Loss:
            lines = loss_line(entry.lost_bytes, entry.lost_lines);
            return Channel::Output;
    }
    return Channel::Output;
}

}  // namespace

void print_received(Console& console, ReceiveQueue& queue, const PauseFlag& pause,
                    ChunkFormat format) {
    // Standard error is not held (the ТИРК reader's failures show at once).
    static const std::atomic<bool> never_held{false};
    std::string lines;
    while (const auto entry = queue.take(pause.value())) {
        const Channel channel = render(*entry, format, lines);
        const bool to_error = channel == Channel::Error;
        // The pause is looked at again under the output lock: once the main
        // thread has set it and printed (a submenu's prompt), nothing of ours
        // follows, even an entry taken just before.
        while (!console.print_unless(to_error ? never_held : pause.value(), lines, channel)) {
            if (!queue.wait_while(pause.value())) {
                return;
            }
        }
        if (queue.abandoned()) {
            return;
        }
    }
}

// What the two threads share with the ReceiverThread, kept alive by a
// printer that a fatal stop leaves behind.
struct ReceiverThread::Shared {
    explicit Shared(std::size_t capacity) : queue(capacity) {}

    ReceiveQueue queue;
    std::optional<std::string> reader_failure;
    std::optional<std::string> printer_failure;
    std::mutex done_lock;
    std::condition_variable done_changed;
    bool printer_done = false;
};

namespace {

std::string failure_text(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "неизвестная ошибка";
    }
}

}  // namespace

ReceiverThread::ReceiverThread(Console& console, std::unique_ptr<SerialPort> port, Flag running,
                               Pause pause, const ReceiveMode& mode, std::size_t capacity)
    : shared_(std::make_shared<Shared>(capacity)),
      running_(std::move(running)),
      pause_(std::move(pause)),
      reader_(port.get()) {
    pause_->attach([shared = shared_] { shared->queue.wake(); },
                   [shared = shared_] { shared->queue.wait_printed(); });
    try {
        printer_thread_ = std::thread([&console, shared = shared_, pause = pause_, mode] {
            try {
                print_received(console, shared->queue, *pause, mode.format);
            } catch (...) {
                shared->printer_failure = failure_text(std::current_exception());
                // Nobody prints any more: the reader stops too.
                shared->queue.abandon();
            }
            std::lock_guard lock(shared->done_lock);
            shared->printer_done = true;
            shared->done_changed.notify_all();
        });
        reader_thread_ =
            std::thread([this, shared = shared_, port = std::move(port), mode]() mutable {
                try {
                    mode.read(*port, *running_, *pause_, shared->queue);
                } catch (...) {
                    shared->reader_failure = failure_text(std::current_exception());
                }
                shared->queue.close();
                {
                    std::lock_guard lock(reader_lock_);
                    reader_ = nullptr;
                }
                port.reset();
            });
    } catch (const std::system_error& e) {
        shared_->queue.abandon();
        if (printer_thread_.joinable()) {
            printer_thread_.join();
        }
        pause_->detach();
        throw FatalError(std::string("Не удалось запустить поток приёма: ") + e.what());
    }
}

namespace {

std::unique_ptr<SerialPort> second_handle(const SerialPort& port) {
    auto clone = port.try_clone();
    if (!clone) {
        throw FatalError("Failed to clone port: " + debug_form(clone.error()));
    }
    return std::move(*clone);
}

}  // namespace

ReceiverThread::ReceiverThread(Console& console, const SerialPort& port, Flag running, Pause pause,
                               const ReceiveMode& mode)
    : ReceiverThread(console, second_handle(port), std::move(running), std::move(pause), mode) {}

void ReceiverThread::join_and_report(Console& console) {
    if (const auto failure = join()) {
        console.error_line("Ошибка в потоке приема: " + *failure);
    }
}

ReceiverThread::~ReceiverThread() {
    if (!reader_thread_.joinable()) {
        return;
    }
    running_->store(false, kRelaxed);
    shared_->queue.abandon();
    wake_reader();
    reader_thread_.join();
    pause_->detach();
    // A printer in the middle of a write that the console does not take
    // (a selection, Ctrl+S) would hold the stop as long as the console does.
    std::unique_lock lock(shared_->done_lock);
    if (shared_->done_changed.wait_for(lock, kPrinterGrace,
                                       [this] { return shared_->printer_done; })) {
        lock.unlock();
        printer_thread_.join();
    } else {
        printer_thread_.detach();
    }
}

void ReceiverThread::wake_reader() {
    std::lock_guard lock(reader_lock_);
    if (reader_ != nullptr) {
        reader_->cancel_read();
    }
}

std::optional<std::string> ReceiverThread::join() {
    if (reader_thread_.joinable()) {
        wake_reader();
        reader_thread_.join();
        printer_thread_.join();
        pause_->detach();
    }
    if (shared_->printer_failure) {
        return shared_->printer_failure;
    }
    return shared_->reader_failure;
}

}  // namespace portavik
