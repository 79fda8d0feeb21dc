// SPDX-License-Identifier: MIT

#pragma once

// The bytes read from standard input and not yet returned as lines.
//
// A line arrives in many reads, so the buffer grows; it grows with realloc,
// which the C library does in place for large blocks (mremap on Linux), and
// it gives a line out by copying it from its end while the buffer shrinks
// behind the copy. A line of any length is thus held about once, never
// twice: a 64 MiB line from a pipe takes about 64 MiB, not 128.

#include <cstddef>
#include <string>
#include <string_view>

namespace portavik {

class LineBuffer {
  public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer();

    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }

    // Throws std::bad_alloc when the memory is not there.
    void append(std::string_view bytes);
    // The first `count` bytes leave the buffer.
    void erase_front(std::size_t count);
    // The first `length` bytes as a string; they and the `skip` bytes after
    // them leave the buffer.
    std::string take_front(std::size_t length, std::size_t skip);
    void clear() { size_ = 0; }

  private:
    // Lets go of the memory past `capacity` (which is at least size_).
    void shrink_to(std::size_t capacity);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace portavik
