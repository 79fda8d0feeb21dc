// SPDX-License-Identifier: MIT

#include "link/receive.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "codec/hex.hpp"
#include "serial/lost_input.hpp"

namespace portavik {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr std::string_view kHexLabel = "📥 Получено (HEX): ";
constexpr std::string_view kTextLabel = "📥 Получено (текст): ";
constexpr std::string_view kTirkLabel = "📥 Получены данные: ";
// How long a fatal stop waits for a print that the console holds.
constexpr auto kPrinterGrace = std::chrono::milliseconds(20);
// Lines for standard error kept while they cannot be printed; more are
// counted in the next loss line.
constexpr std::size_t kMostErrorLines = 1000;
// A read whose bytes are bound for the queue (a print is under way) takes up
// to this much: the queue cuts them into chunks of kReceiveBufferSize as it
// would have cut smaller reads, with fewer calls in a flood.
constexpr std::size_t kQueuedReadSize = 4 * kReceiveBufferSize;
// Chunks that waited are printed a few at a time with one write: fewer
// writes in a flood, and still a short wait for `pause` and the end.
constexpr int kChunksPerWrite = 4;
// How long the port may go unread while a print is under way before the
// thread without a role takes the reading over. A console that keeps up (a
// flood drawn as fast as the terminal can) takes a print sooner, and the
// thread that printed reads again itself: nothing crosses threads, and the
// idle one wakes a few hundred times a second at most. The port's own buffer
// holds that much of any line (5 ms at 3 Mbaud: 1.5 KB).
constexpr auto kUnreadLimit = std::chrono::milliseconds(5);

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

// With flow control in force, not reading holds the device: the driver's
// buffer fills and the line tells the device to wait.
bool holds_the_device(const SerialPort& port) {
    const auto flow = port.flow_control();
    return flow && *flow != FlowControl::None;
}

std::string failure_text(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "неизвестная ошибка";
    }
}

void render(const ReceiveQueue::Entry& entry, ChunkFormat format, std::string& lines) {
    switch (entry.kind) {
        case ReceiveQueue::Entry::Kind::Data:
            format(lines, entry.bytes);
            return;
        case ReceiveQueue::Entry::Kind::Line:
            lines.assign(entry.text);
            lines += '\n';
            return;
        case ReceiveQueue::Entry::Kind::Loss:
            lines = loss_line(entry.lost_bytes, entry.lost_lines);
            return;
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

namespace {

std::string unshown_line(std::uint64_t bytes) {
    return "⚠️ Не показано при выходе: " + std::to_string(bytes) +
           " принятых байт";
}

}  // namespace

std::size_t receive_queue_capacity() {
    if (const char* given = std::getenv("PORTAVIK_TEST_QUEUE_BYTES")) {
        char* end = nullptr;
        const unsigned long long bytes = std::strtoull(given, &end, 10);
        if (end != given && *end == '\0' && bytes > 0) {
            return static_cast<std::size_t>(bytes);
        }
    }
    return ReceiveQueue::kDefaultCapacity;
}

// What the two threads share with the ReceiverThread, kept alive by a thread
// that a fatal stop leaves behind. Everything is guarded by `guard`. Each
// thread takes whichever role is free: printing what waits (lines for
// standard error first, they are said even while paused), else reading.
// Only one thread reads at a time and only one prints, so the order holds;
// the state of the reading (notice, pacer) passes with the role.
struct ReceiverThread::Shared {
    using Lock = std::unique_lock<std::mutex>;

    Shared(Console& out, std::unique_ptr<SerialPort> handle, Flag flag, const ReceiveMode& kind,
           std::size_t capacity)
        : console(out),
          port(std::move(handle)),
          running(std::move(flag)),
          mode(kind),
          queue(capacity),
          pacer(port->timeout()) {}

    void serve(int index);
    bool print_next(Lock& lock, std::string& lines, std::string& scratch);
    void read_next(Lock& lock, std::span<std::uint8_t> buffer, std::string& lines);
    void read_failed(Lock& lock, const std::string& message);
    template <class Write>
    void print(Lock& lock, Write write);
    void say_error(std::string line);
    void wake_all() {
        changed.notify_all();
        idle.notify_all();
        unread.notify_all();
    }
    void reading_done() {
        reading = false;
        read_ended = std::chrono::steady_clock::now();
    }
    // What a print calls before it waits for the console: a thread with no
    // role starts counting the time the port goes unread. One that counts
    // already is not disturbed.
    const std::function<void()> wake_other = [this] { idle.notify_all(); };
    void fail(std::exception_ptr error);
    bool stopping() const { return abandoned || !running->load(kRelaxed); }
    bool all_done() const { return done[0] && done[1]; }

    Console& console;
    std::unique_ptr<SerialPort> port;  // dropped when the reading is over for good
    const Flag running;
    const ReceiveMode mode;
    std::mutex guard;
    // A thread with no role waits on `idle` while the other reads, and on
    // `unread` while the other prints, until the port has gone unread for
    // kUnreadLimit; every other wait is on `changed`. A print that the
    // console takes at once wakes nobody (a broadcast that finds no waiter
    // costs no system call), so on a free console a chunk is read and printed
    // by one thread, without a hand-over.
    std::condition_variable changed;
    std::condition_variable idle;
    std::condition_variable unread;
    std::chrono::steady_clock::time_point read_ended{};
    ReceiveQueue queue;
    std::deque<std::string> error_lines;
    LostInputNotice lost_input;
    ReadFailurePacer pacer;
    bool reading = false;       // a thread has the port
    bool printing = false;      // a thread writes to the console
    bool reading_over = false;  // `running` cleared, or the standard mode's read error
    bool paused = false;
    bool abandoned = false;     // a fatal stop or a failed print: nothing more is printed
    std::uint64_t printed = 0;  // queue entries printed so far
    bool done[2] = {false, false};
    std::optional<std::string> failure;
};

void ReceiverThread::Shared::serve(int index) {
    std::array<std::uint8_t, kQueuedReadSize> buffer;
    std::string lines;
    std::string scratch;
    Lock lock(guard);
    try {
        while (!abandoned) {
            if (!printing && print_next(lock, lines, scratch)) {
                continue;
            }
            if (!reading && !reading_over) {
                const auto due = read_ended + kUnreadLimit;
                if (!printing || std::chrono::steady_clock::now() >= due) {
                    read_next(lock, buffer, lines);
                } else {
                    unread.wait_until(lock, due);
                }
                continue;
            }
            // What is left to print is the other thread's.
            if (reading_over && !reading && error_lines.empty() && (queue.empty() || printing)) {
                break;
            }
            idle.wait(lock);
        }
    } catch (...) {
        if (!lock.owns_lock()) {
            lock.lock();
        }
        fail(std::current_exception());
    }
    done[index] = true;
    wake_all();
}

// Takes the printing role, writes without the lock, gives the role back.
// `write` passes `wake_other` to the console for a print that would wait.
template <class Write>
void ReceiverThread::Shared::print(Lock& lock, Write write) {
    printing = true;
    lock.unlock();
    std::exception_ptr failed;
    try {
        write();
    } catch (...) {
        failed = std::current_exception();
    }
    lock.lock();
    printing = false;
    if (failed) {
        fail(failed);
    }
    // For pause(), resume(), the end, and a read waiting for room.
    changed.notify_all();
    // This thread goes on with what waits to be printed; the other one
    // counts the time the port goes unread.
    const bool more = !error_lines.empty() || (!paused && !queue.empty());
    if (more && !reading && !reading_over) {
        idle.notify_all();
    }
}

bool ReceiverThread::Shared::print_next(Lock& lock, std::string& lines, std::string& scratch) {
    if (!error_lines.empty()) {
        std::string line = std::move(error_lines.front());
        error_lines.pop_front();
        print(lock, [&] {
            wake_other();  // standard error cannot tell whether it would wait
            console.error_line(line);
        });
        return true;
    }
    if (paused || queue.empty()) {
        return false;
    }
    std::array<std::optional<ReceiveQueue::Entry>, kChunksPerWrite> entries;
    int count = 0;
    while (count < kChunksPerWrite && !queue.empty()) {
        entries[static_cast<std::size_t>(count++)] = queue.pop();
    }
    print(lock, [&] {
        render(*entries[0], mode.format, lines);
        for (int i = 1; i < count; ++i) {
            render(*entries[static_cast<std::size_t>(i)], mode.format, scratch);
            lines += scratch;
        }
        console.print(lines, wake_other);
    });
    printed += static_cast<std::uint64_t>(count);
    return true;
}

void ReceiverThread::Shared::read_next(Lock& lock, std::span<std::uint8_t> buffer,
                                       std::string& lines) {
    if (!running->load(kRelaxed) || !port) {
        reading_over = true;
        wake_all();
        return;
    }
    reading = true;
    SerialPort& source = *port;
    const bool for_the_queue = printing || paused || !queue.empty();
    std::size_t size = for_the_queue ? buffer.size() : kReceiveBufferSize;
    if (queue.room() < size) {
        lock.unlock();
        const bool hold = holds_the_device(source);
        lock.lock();
        if (hold && queue.room() == 0) {
            changed.wait(lock, [this] { return queue.room() > 0 || stopping(); });
            reading_done();
            return;
        }
        // Under flow control a read takes no more than fits.
        size = hold ? std::min(size, queue.room()) : size;
    }
    lock.unlock();
    const auto got = source.read(buffer.first(size));
    // What the driver counted on the line meanwhile (bytes it lost, garbled
    // characters), for standard error; LostInputNotice paces it.
    auto driver_lines = lost_input.check(source, LostInputNotice::Clock::now());
    lock.lock();
    reading_done();
    for (std::string& line : driver_lines) {
        say_error(std::move(line));
    }
    if (!got) {
        if (got.error().kind != IoKind::TimedOut) {
            read_failed(lock, got.error().message);
        }
        return;
    }
    if (mode.tirk) {
        pacer.succeeded();
    }
    const std::size_t count = *got;
    if (count == 0 || abandoned || (mode.tirk && paused)) {
        return;
    }
    const auto chunk = buffer.first(count);
    if (printing || paused || !queue.empty() || !error_lines.empty() ||
        count > kReceiveBufferSize) {
        queue.push_data(chunk);
        wake_all();
        return;
    }
    // Nothing waits and nobody prints: the chunk is printed by the thread
    // that read it, and reads on; the other one takes the reading over only
    // if the print keeps the port unread for kUnreadLimit.
    print(lock, [&] {
        mode.format(lines, chunk);
        console.print(lines, wake_other);
    });
}

void ReceiverThread::Shared::read_failed(Lock& lock, const std::string& message) {
    if (!mode.tirk) {
        if (running->load(kRelaxed)) {
            queue.push_line("❌ Ошибка чтения из порта: " + message);
        }
        reading_over = true;
        wake_all();
        return;
    }
    const auto step = pacer.failed(message, ReadFailurePacer::Clock::now());
    if (step.print) {
        say_error("Ошибка чтения: " + message);
    }
    // A device that is gone fails every read at once; the port stays this
    // thread's through the wait.
    reading = true;
    changed.wait_for(lock, step.wait, [this] { return stopping(); });
    reading_done();
}

void ReceiverThread::Shared::say_error(std::string line) {
    if (error_lines.size() < kMostErrorLines) {
        error_lines.push_back(std::move(line));
    } else {
        queue.count_lost_line();
    }
    wake_all();
}

void ReceiverThread::Shared::fail(std::exception_ptr error) {
    if (!failure) {
        failure = failure_text(std::move(error));
    }
    abandoned = true;
    wake_all();
}

ReceiverThread::ReceiverThread(Console& console, std::unique_ptr<SerialPort> port, Flag running,
                               const ReceiveMode& mode, std::size_t capacity)
    : shared_(
          std::make_shared<Shared>(console, std::move(port), std::move(running), mode, capacity)) {
    try {
        for (int i = 0; i < 2; ++i) {
            threads_[i] = std::thread([shared = shared_, i] { shared->serve(i); });
        }
    } catch (const std::system_error& e) {
        {
            std::lock_guard lock(shared_->guard);
            shared_->abandoned = true;
            shared_->port->cancel_read();
            shared_->wake_all();
        }
        if (threads_[0].joinable()) {
            threads_[0].join();
        }
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
                               const ReceiveMode& mode)
    : ReceiverThread(console, second_handle(port), std::move(running), mode,
                     receive_queue_capacity()) {}

ReceiverThread::~ReceiverThread() {
    if (!threads_[0].joinable()) {
        return;
    }
    Shared& s = *shared_;
    s.running->store(false, kRelaxed);
    bool done[2];
    {
        Shared::Lock lock(s.guard);
        s.abandoned = true;
        s.port->cancel_read();
        s.wake_all();
        // A cancelled read ends at once: the port closes here, whatever a
        // print is waiting for.
        s.changed.wait(lock, [&s] { return !s.reading; });
        s.port.reset();
        // A print that the console does not take (a selection, Ctrl+S)
        // would hold the stop as long as the console does.
        s.changed.wait_for(lock, kPrinterGrace, [&s] { return s.all_done(); });
        done[0] = s.done[0];
        done[1] = s.done[1];
    }
    for (int i = 0; i < 2; ++i) {
        if (done[i]) {
            threads_[i].join();
        } else {
            threads_[i].detach();
        }
    }
}

void ReceiverThread::pause() {
    Shared& s = *shared_;
    Shared::Lock lock(s.guard);
    s.paused = true;
    s.changed.wait(lock, [&s] { return !s.printing; });
}

void ReceiverThread::resume() {
    Shared& s = *shared_;
    Shared::Lock lock(s.guard);
    s.paused = false;
    const std::uint64_t until = s.printed + s.queue.size();
    s.wake_all();
    s.changed.wait(lock, [&s, until] { return s.printed >= until || s.abandoned || s.all_done(); });
}

bool ReceiverThread::paused() const {
    std::lock_guard lock(shared_->guard);
    return shared_->paused;
}

std::optional<std::string> ReceiverThread::join() {
    Shared& s = *shared_;
    if (!threads_[0].joinable()) {
        return s.failure;
    }
    std::uint64_t unshown = 0;
    {
        Shared::Lock lock(s.guard);
        s.port->cancel_read();
        s.wake_all();
        s.changed.wait(lock, [&s] { return (s.reading_over || s.abandoned) && !s.reading; });
        s.port.reset();
        s.paused = false;
        s.wake_all();
        // What is queued is printed for a while; a console that takes it
        // slowly does not hold the end longer.
        if (!s.changed.wait_for(lock, kDrainLimit, [&s] { return s.all_done(); })) {
            unshown = s.queue.clear();
            s.error_lines.clear();
            s.wake_all();
            s.changed.wait(lock, [&s] { return s.all_done(); });
        }
    }
    threads_[0].join();
    threads_[1].join();
    if (unshown > 0 && !s.failure) {
        s.console.line(unshown_line(unshown));
    }
    return s.failure;
}

void ReceiverThread::join_and_report(Console& console) {
    if (const auto failure = join()) {
        console.error_line("Ошибка в потоке приема: " + *failure);
    }
}

}  // namespace portavik
