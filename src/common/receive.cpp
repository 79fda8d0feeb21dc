#include "common/receive.hpp"

#include <array>
#include <chrono>
#include <system_error>

#include "common/hex.hpp"

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

}  // namespace

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
    while (running->load(kRelaxed)) {
        if (pause_receiver->load(kRelaxed)) {
            std::this_thread::sleep_for(kPausePoll);
            continue;
        }
        const auto got = port.read(buffer);
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
    while (running->load(kRelaxed)) {
        const auto got = port.read(buffer);
        if (!got) {
            if (got.error().kind == IoKind::TimedOut) {
                continue;
            }
            console.error_line("Ошибка чтения: " + got.error().message);
            // A device that is gone fails every read at once; wait one read
            // timeout so the loop neither spins nor floods standard error.
            std::this_thread::sleep_for(port.timeout());
            continue;
        }
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
    : running_(running) {
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
                port.reset();
            });
    } catch (const std::system_error& e) {
        throw FatalError(std::string("Failed to start receiver thread: ") + e.what());
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
        thread_.join();
    }
}

std::optional<std::string> ReceiverThread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return failure_;
}

}  // namespace portavik
