// SPDX-License-Identifier: MIT

#pragma once

// What the receiver's reading thread hands to its printing thread, in order:
// the bytes it read, and the lines it has to say (read errors). The reader
// never waits for the printer, so a console that takes no output (a text
// selection, Ctrl+S, a slow terminal, an open send submenu) never stops the
// port from being drained. Memory is bounded: what does not fit is dropped,
// and a loss mark takes its place in the order, so the printer can say how
// much was lost and where.
//
// Reads that wait in the queue join up to kReceiveBufferSize bytes a chunk:
// the chunks a receiver would have got had the bytes waited in the port's
// own buffer, and a small number of entries for a long wait.

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "console/console.hpp"

namespace portavik {

// The most one read takes, and the most one printed chunk holds.
inline constexpr std::size_t kReceiveBufferSize = 1024;

class ReceiveQueue {
  public:
    // 64 MiB: 24 minutes at 460800 baud, many hours at 9600.
    static constexpr std::size_t kDefaultCapacity = std::size_t{64} << 20;

    struct Entry {
        enum class Kind : std::uint8_t { Data, Line, Loss };
        Kind kind = Kind::Data;
        Channel stream = Channel::Output;  // Line
        std::uint16_t size = 0;            // Data: bytes held
        std::uint64_t lost_bytes = 0;      // Loss
        std::uint64_t lost_lines = 0;      // Loss
        std::string text;                  // Line, without its line break
        std::uint64_t serial = 0;          // in the order entries were queued
        Entry* next = nullptr;
        std::array<std::uint8_t, kReceiveBufferSize> bytes;

        std::span<const std::uint8_t> data() const { return {bytes.data(), size}; }
    };

    // What an entry costs: itself and its allocation's header (two words in
    // glibc's and mingw-w64's malloc). A line's text is counted on top.
    static constexpr std::size_t kEntryCost = sizeof(Entry) + 2 * sizeof(void*);

    // An entry the printer holds; it goes back to the queue's spares when
    // dropped.
    struct Return {
        ReceiveQueue* queue;
        void operator()(Entry* entry) const { queue->give_back(entry); }
    };
    using Taken = std::unique_ptr<Entry, Return>;

    // Room for a chunk and the loss mark after it at the least.
    explicit ReceiveQueue(std::size_t capacity = kDefaultCapacity)
        : capacity_(std::max(capacity, 2 * kEntryCost)) {}
    ReceiveQueue(const ReceiveQueue&) = delete;
    ReceiveQueue& operator=(const ReceiveQueue&) = delete;
    ~ReceiveQueue();

    // Reader side; none of these waits for the printer.
    void push_data(std::span<const std::uint8_t> bytes);
    void push_line(Channel stream, std::string text);
    // The reader is done: the printer ends once it has taken what is queued.
    void close();

    // Printer side. The next entry, waiting for one; empty once the queue is
    // closed and drained, or abandoned. While `hold` is set only lines for
    // standard error are taken, the first one queued. Whoever clears `hold`
    // calls `wake` afterwards.
    Taken take(const std::atomic<bool>& hold);
    // Waits while `hold` is set; false when the queue was abandoned meanwhile.
    bool wait_while(const std::atomic<bool>& hold);
    void wake();
    // Waits until every entry queued by now has been printed and given
    // back (or the queue was abandoned). Only while the printer is not held.
    void wait_printed();

    // Nothing more is printed or kept: a waiting printer returns at once,
    // and the reader stops at its next look.
    void abandon();
    bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }

    // Memory held now (queued, taken and spare entries, lines' text).
    std::size_t memory_used() const;

  private:
    // Whether `entries` more entries (spares first) and `text` bytes fit.
    bool fits(std::size_t entries, std::size_t text) const;
    Entry* new_entry(Entry::Kind kind);
    void append(Entry* entry);
    Entry* unlink_first_error_line();
    void count_loss(std::uint64_t bytes, std::uint64_t lines);
    void give_back(Entry* entry);

    const std::size_t capacity_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    Entry* head_ = nullptr;
    Entry* tail_ = nullptr;
    Entry* spares_ = nullptr;
    std::size_t spare_count_ = 0;
    std::size_t memory_ = 0;
    std::size_t error_lines_ = 0;
    std::uint64_t next_serial_ = 1;
    // The serial of the entry the printer holds; 0 for none.
    std::uint64_t in_hand_ = 0;
    int drain_waiters_ = 0;
    bool closed_ = false;
    // Set while the printer waits in `take`, with what holds it.
    bool printer_waits_ = false;
    const std::atomic<bool>* printer_hold_ = nullptr;
    std::atomic<bool> abandoned_{false};
};

}  // namespace portavik
