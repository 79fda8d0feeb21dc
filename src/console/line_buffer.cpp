// SPDX-License-Identifier: MIT

#include "console/line_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace portavik {

namespace {

// How much of a long line is copied before the buffer gives back what the
// copy has taken over; below this nothing is given back piecemeal.
constexpr std::size_t kPiece = std::size_t{1} << 20;

}  // namespace

LineBuffer::~LineBuffer() {
    std::free(data_);
}

void LineBuffer::append(std::string_view bytes) {
    if (bytes.size() > capacity_ - size_) {
        const std::size_t needed = size_ + bytes.size();
        const std::size_t capacity = std::max({needed, capacity_ * 2, std::size_t{4096}});
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

void LineBuffer::erase_front(std::size_t count) {
    count = std::min(count, size_);
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
}

std::string LineBuffer::take_front(std::size_t length, std::size_t skip) {
    length = std::min(length, size_);
    skip = std::min(skip, size_ - length);
    // What follows the line came with its last read: small.
    const std::string rest(data_ + length + skip, size_ - length - skip);
    std::string line;
    // The operation is told `length` itself, not the size it is handed:
    // g++ 12's libstdc++ passes the capacity it allocated, which may be more.
    line.resize_and_overwrite(length, [this, length](char* out, std::size_t) {
        std::size_t left = length;
        while (left > 0) {
            const std::size_t piece = std::min(left, kPiece);
            left -= piece;
            std::memcpy(out + left, data_ + left, piece);
            size_ = left;
            if (capacity_ - left >= 2 * kPiece) {
                shrink_to(left);
            }
        }
        return length;
    });
    size_ = 0;
    append(rest);
    return line;
}

void LineBuffer::shrink_to(std::size_t capacity) {
    if (capacity == 0) {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
        return;
    }
    // A failed shrink keeps the larger block, which is still valid.
    if (void* smaller = std::realloc(data_, capacity); smaller != nullptr) {
        data_ = static_cast<char*>(smaller);
        capacity_ = capacity;
    }
}

}  // namespace portavik
