// SPDX-License-Identifier: MIT

#include "link/receive_queue.hpp"

#include <algorithm>
#include <utility>

namespace portavik {

ReceiveQueue::ReceiveQueue(std::size_t capacity) : capacity_(std::max(capacity, 2 * kEntryCost)) {}

std::size_t ReceiveQueue::cost(const Entry& entry) {
    return sizeof(Entry) + entry.bytes.capacity() + entry.text.size() + 4 * sizeof(void*);
}

void ReceiveQueue::append(Entry entry) {
    memory_ += cost(entry);
    entries_.push_back(std::move(entry));
}

// The loss mark at the end of the queue, or a new one there. A new chunk or
// line is taken only while one more entry would still fit after it, so there
// is always room for this one.
ReceiveQueue::Entry& ReceiveQueue::loss_mark() {
    if (entries_.empty() || entries_.back().kind != Entry::Kind::Loss) {
        append(Entry{Entry::Kind::Loss, {}, {}, 0, 0});
    }
    return entries_.back();
}

void ReceiveQueue::push_data(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        if (entries_.empty() || entries_.back().kind != Entry::Kind::Data ||
            entries_.back().bytes.size() == kReceiveBufferSize) {
            if (!fits(2 * kEntryCost)) {
                loss_mark().lost_bytes += bytes.size();
                return;
            }
            Entry chunk;
            chunk.bytes.reserve(kReceiveBufferSize);
            append(std::move(chunk));
        }
        auto& last = entries_.back().bytes;
        const std::size_t n = std::min(bytes.size(), kReceiveBufferSize - last.size());
        last.insert(last.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        bytes = bytes.subspan(n);
    }
}

void ReceiveQueue::push_line(std::string text) {
    Entry line{Entry::Kind::Line, {}, std::move(text), 0, 0};
    if (!fits(cost(line) + kEntryCost)) {
        count_lost_line();
        return;
    }
    append(std::move(line));
}

void ReceiveQueue::count_lost_line() {
    ++loss_mark().lost_lines;
}

std::size_t ReceiveQueue::room() const {
    std::size_t bytes = 0;
    if (!entries_.empty() && entries_.back().kind == Entry::Kind::Data) {
        bytes = kReceiveBufferSize - entries_.back().bytes.size();
    }
    // New chunks while one more entry still fits after each.
    if (fits(2 * kEntryCost)) {
        bytes += (capacity_ - memory_ - kEntryCost) / kEntryCost * kReceiveBufferSize;
    }
    return bytes;
}

std::optional<ReceiveQueue::Entry> ReceiveQueue::pop() {
    if (entries_.empty()) {
        return std::nullopt;
    }
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    memory_ -= cost(entry);
    return entry;
}

std::uint64_t ReceiveQueue::clear() {
    std::uint64_t unshown = 0;
    for (const Entry& entry : entries_) {
        unshown += entry.bytes.size() + entry.lost_bytes;
    }
    entries_.clear();
    memory_ = 0;
    return unshown;
}

}  // namespace portavik
