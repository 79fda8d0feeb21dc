#include "session/receive.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <system_error>

#include "codec/hex.hpp"
#include "serial/lost_input.hpp"

namespace portavik {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kPausePoll = std::chrono::milliseconds(10);
constexpr std::string_view kHexLabel = "📥 Получено (HEX): ";
constexpr std::string_view kTextLabel = "📥 Получено (текст): ";

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

// Bytes the driver lost, on standard error (LostInputNotice paces it).
void report_lost_input(Console& console, const SerialPort& port, LostInputNotice& notice) {
    if (const auto line = notice.check(port.overruns(), LostInputNotice::Clock::now())) {
        console.error_line(*line);
    }
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

void receive_data(Console& console, SerialPort& port, Flag running, Flag pause_receiver) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::string lines;
    LostInputNotice lost_input;
    while (running->load(kRelaxed)) {
        if (pause_receiver->load(kRelaxed)) {
            std::this_thread::sleep_for(kPausePoll);
            continue;
        }
        const auto got = port.read(buffer);
        report_lost_input(console, port, lost_input);
        if (!got) {
            if (got.error().kind == IoKind::TimedOut) {
                continue;
            }
            if (running->load(kRelaxed)) {
                console.line("❌ Ошибка чтения из порта: " + got.error().message);
            }
            return;
        }
        const std::span<const std::uint8_t> chunk(buffer.data(), *got);
        if (chunk.empty()) {
            continue;
        }
        // Both lines in one write: a line of the main thread cannot come
        // between them, and a printable chunk costs one system call.
        format_received_chunk(lines, chunk);
        console.print(lines);
    }
}

void receive_tirk_data(Console& console, SerialPort& port, Flag running, Flag pause_receiver) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer{};
    std::vector<std::uint8_t> received;
    ReadFailurePacer pacer(port.timeout());
    LostInputNotice lost_input;
    while (running->load(kRelaxed)) {
        const auto got = port.read(buffer);
        report_lost_input(console, port, lost_input);
        if (!got) {
            if (got.error().kind == IoKind::TimedOut) {
                continue;
            }
            const auto step = pacer.failed(got.error().message, ReadFailurePacer::Clock::now());
            if (step.print) {
                console.error_line("Ошибка чтения: " + got.error().message);
            }
            // A device that is gone fails every read at once.
            wait_while_running(*running, step.wait, port.timeout());
            continue;
        }
        pacer.succeeded();
        if (*got == 0 || pause_receiver->load(kRelaxed)) {
            continue;
        }
        received.insert(received.end(), buffer.begin(),
                        buffer.begin() + static_cast<std::ptrdiff_t>(*got));
        if (auto taken = take_received_data(received)) {
            console.line("📥 Получены данные: " + format_hex_output(*taken));
        }
    }
}

std::optional<std::vector<std::uint8_t>> take_received_data(std::vector<std::uint8_t>& buffer) {
    if (buffer.empty()) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> taken;
    taken.swap(buffer);
    return taken;
}

ReceiverThread::ReceiverThread(Console& console, std::unique_ptr<SerialPort> port, Flag running,
                               Flag pause_receiver, ReceiveLoop loop)
    : running_(running), reader_(port.get()) {
    try {
        thread_ = std::thread(
            [this, &console, port = std::move(port), running, pause_receiver, loop]() mutable {
                try {
                    loop(console, *port, std::move(running), std::move(pause_receiver));
                } catch (const std::exception& e) {
                    failure_ = e.what();
                } catch (...) {
                    failure_ = "неизвестная ошибка";
                }
                {
                    std::lock_guard lock(reader_lock_);
                    reader_ = nullptr;
                }
                port.reset();
            });
    } catch (const std::system_error& e) {
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

ReceiverThread::ReceiverThread(Console& console, const SerialPort& port, Flag running,
                               Flag pause_receiver, ReceiveLoop loop)
    : ReceiverThread(console, second_handle(port), std::move(running), std::move(pause_receiver),
                     loop) {}

void ReceiverThread::join_and_report(Console& console) {
    if (const auto failure = join()) {
        console.error_line("Ошибка в потоке приема: " + *failure);
    }
}

ReceiverThread::~ReceiverThread() {
    if (thread_.joinable()) {
        running_->store(false, kRelaxed);
        wake_reader();
        thread_.join();
    }
}

void ReceiverThread::wake_reader() {
    std::lock_guard lock(reader_lock_);
    if (reader_ != nullptr) {
        reader_->cancel_read();
    }
}

std::optional<std::string> ReceiverThread::join() {
    if (thread_.joinable()) {
        wake_reader();
        thread_.join();
    }
    return failure_;
}

}  // namespace portavik
