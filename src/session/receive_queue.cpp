// SPDX-License-Identifier: MIT

#include "session/receive_queue.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace portavik {

namespace {

// Entries kept for reuse once printed: with the printer keeping up, reads
// and prints take turns on two or three entries and allocate nothing.
constexpr std::size_t kMaxSpares = 4;

void delete_list(ReceiveQueue::Entry* entry) {
    while (entry != nullptr) {
        delete std::exchange(entry, entry->next);
    }
}

}  // namespace

ReceiveQueue::~ReceiveQueue() {
    delete_list(head_);
    delete_list(spares_);
}

std::size_t ReceiveQueue::memory_used() const {
    std::lock_guard lock(lock_);
    return memory_;
}

bool ReceiveQueue::fits(std::size_t entries, std::size_t text) const {
    const std::size_t new_entries = entries - std::min(entries, spare_count_);
    return memory_ + new_entries * kEntryCost + text <= capacity_;
}

ReceiveQueue::Entry* ReceiveQueue::new_entry(Entry::Kind kind) {
    Entry* entry = spares_;
    if (entry != nullptr) {
        spares_ = entry->next;
        --spare_count_;
    } else {
        entry = new Entry;
        memory_ += kEntryCost;
    }
    entry->kind = kind;
    entry->size = 0;
    entry->next = nullptr;
    return entry;
}

void ReceiveQueue::append(Entry* entry) {
    entry->serial = next_serial_++;
    if (tail_ == nullptr) {
        head_ = tail_ = entry;
    } else {
        tail_->next = entry;
        tail_ = entry;
    }
}

// A new entry is taken only while one more would still fit after it, so
// there is always room for the loss mark that follows a drop.
void ReceiveQueue::push_data(std::span<const std::uint8_t> bytes) {
    bool added = false;
    {
        std::lock_guard lock(lock_);
        if (abandoned()) {
            return;
        }
        while (!bytes.empty()) {
            Entry* last = tail_;
            if (last == nullptr || last->kind != Entry::Kind::Data ||
                last->size == kReceiveBufferSize) {
                if (!fits(2, 0)) {
                    count_loss(bytes.size(), 0);
                    break;
                }
                last = new_entry(Entry::Kind::Data);
                append(last);
            }
            const std::size_t n = std::min(bytes.size(), kReceiveBufferSize - last->size);
            std::memcpy(last->bytes.data() + last->size, bytes.data(), n);
            last->size = static_cast<std::uint16_t>(last->size + n);
            bytes = bytes.subspan(n);
            added = true;
        }
        // A held printer would only look and wait again.
        added = added && printer_waits_ && !printer_hold_->load(std::memory_order_relaxed);
    }
    if (added) {
        changed_.notify_all();
    }
}

void ReceiveQueue::push_line(Channel stream, std::string text) {
    {
        std::lock_guard lock(lock_);
        if (abandoned()) {
            return;
        }
        if (!fits(2, text.capacity())) {
            count_loss(0, 1);
            return;
        }
        Entry* entry = new_entry(Entry::Kind::Line);
        entry->stream = stream;
        entry->text = std::move(text);
        memory_ += entry->text.capacity();
        error_lines_ += stream == Channel::Error ? 1 : 0;
        append(entry);
    }
    changed_.notify_all();
}

// Added to the loss mark at the end of the queue, or to a new one there.
void ReceiveQueue::count_loss(std::uint64_t bytes, std::uint64_t lines) {
    Entry* last = tail_;
    if (last == nullptr || last->kind != Entry::Kind::Loss) {
        last = new_entry(Entry::Kind::Loss);
        last->lost_bytes = 0;
        last->lost_lines = 0;
        append(last);
    }
    last->lost_bytes += bytes;
    last->lost_lines += lines;
}

void ReceiveQueue::close() {
    {
        std::lock_guard lock(lock_);
        closed_ = true;
    }
    changed_.notify_all();
}

void ReceiveQueue::abandon() {
    {
        std::lock_guard lock(lock_);
        abandoned_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
}

void ReceiveQueue::wake() {
    // Taken and let go, so that a printer between its look at the flag and
    // its wait cannot miss this.
    { std::lock_guard lock(lock_); }
    changed_.notify_all();
}

ReceiveQueue::Taken ReceiveQueue::take(const std::atomic<bool>& hold) {
    std::unique_lock lock(lock_);
    const auto held = [&] { return hold.load(std::memory_order_relaxed); };
    printer_waits_ = true;
    printer_hold_ = &hold;
    changed_.wait(lock, [&] {
        return abandoned() || (head_ == nullptr && closed_) ||
               (head_ != nullptr && (!held() || error_lines_ > 0));
    });
    printer_waits_ = false;
    printer_hold_ = nullptr;
    if (head_ == nullptr || abandoned()) {
        return Taken(nullptr, Return{this});
    }
    if (held()) {
        Entry* line = unlink_first_error_line();
        in_hand_ = line->serial;
        return Taken(line, Return{this});
    }
    Entry* entry = head_;
    in_hand_ = entry->serial;
    head_ = entry->next;
    if (head_ == nullptr) {
        tail_ = nullptr;
    }
    entry->next = nullptr;
    if (entry->kind == Entry::Kind::Line && entry->stream == Channel::Error) {
        --error_lines_;
    }
    return Taken(entry, Return{this});
}

ReceiveQueue::Entry* ReceiveQueue::unlink_first_error_line() {
    Entry* before = nullptr;
    Entry* entry = head_;
    while (entry->kind != Entry::Kind::Line || entry->stream != Channel::Error) {
        before = std::exchange(entry, entry->next);
    }
    (before == nullptr ? head_ : before->next) = entry->next;
    if (tail_ == entry) {
        tail_ = before;
    }
    entry->next = nullptr;
    --error_lines_;
    return entry;
}

bool ReceiveQueue::wait_while(const std::atomic<bool>& hold) {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return !hold.load(std::memory_order_relaxed) || abandoned(); });
    return !abandoned();
}

void ReceiveQueue::wait_printed() {
    std::unique_lock lock(lock_);
    const std::uint64_t last = next_serial_ - 1;
    ++drain_waiters_;
    changed_.wait(lock, [&] {
        return abandoned() ||
               ((head_ == nullptr || head_->serial > last) && (in_hand_ == 0 || in_hand_ > last));
    });
    --drain_waiters_;
}

void ReceiveQueue::give_back(Entry* entry) {
    std::lock_guard lock(lock_);
    in_hand_ = 0;
    if (drain_waiters_ > 0) {
        changed_.notify_all();
    }
    if (entry->kind == Entry::Kind::Line) {
        memory_ -= entry->text.capacity();
        std::string().swap(entry->text);
    }
    if (spare_count_ < kMaxSpares) {
        entry->next = spares_;
        spares_ = entry;
        ++spare_count_;
        return;
    }
    memory_ -= kEntryCost;
    delete entry;
}

}  // namespace portavik
