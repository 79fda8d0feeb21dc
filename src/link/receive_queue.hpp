// SPDX-License-Identifier: MIT

#pragma once

// What the receiver has read and not yet shown, in order: the bytes, the
// lines it has to say on standard output (a read error), and a mark where
// bytes were dropped because the queue was full. A plain bounded FIFO; its
// user guards it when several threads share it.
//
// Bytes that wait join up to kReceiveBufferSize a chunk: the chunks a
// receiver would have got had the bytes waited in the port's own buffer.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

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
        std::vector<std::uint8_t> bytes;  // Data
        std::string text;                 // Line, without its line break
        std::uint64_t lost_bytes = 0;     // Loss
        std::uint64_t lost_lines = 0;     // Loss
    };

    // What a chunk costs: the entry, its bytes and two allocation headers
    // (two words each in glibc's and mingw-w64's malloc). A line costs its
    // text in place of the bytes.
    static constexpr std::size_t kEntryCost =
        sizeof(Entry) + kReceiveBufferSize + 4 * sizeof(void*);

    // Room for a chunk and the loss mark after it at the least.
    explicit ReceiveQueue(std::size_t capacity = kDefaultCapacity);

    // Whatever does not fit is dropped and counted in a loss mark at the end.
    void push_data(std::span<const std::uint8_t> bytes);
    void push_line(std::string text);
    // A line said elsewhere that had to be dropped: counted in the loss mark.
    void count_lost_line();

    std::optional<Entry> pop();
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    // How many bytes fit now without dropping anything.
    std::size_t room() const;
    // Drops everything; returns how many received bytes that leaves unshown
    // (queued, and counted in loss marks).
    std::uint64_t clear();

    std::size_t memory_used() const { return memory_; }

  private:
    bool fits(std::size_t more) const { return memory_ + more <= capacity_; }
    static std::size_t cost(const Entry& entry);
    void append(Entry entry);
    Entry& loss_mark();

    const std::size_t capacity_;
    std::deque<Entry> entries_;
    std::size_t memory_ = 0;
};

}  // namespace portavik
