// SPDX-License-Identifier: MIT

#pragma once

// UTF-8 as the Unicode standard defines its well-formed sequences (table
// 3-7): no overlong forms, no surrogates, nothing above U+10FFFF. One
// decoder for everything that reads UTF-8: the console's lines, trimming and
// the terminal's keys.

#include <cstddef>
#include <string_view>

namespace portavik {

struct Utf8Step {
    enum class Status {
        Ok,         // `code_point` decoded from the first `length` bytes
        Invalid,    // the first `length` bytes (at least one) are ill-formed
        Truncated,  // the bytes end inside a sequence that is well-formed so far
    };
    Status status = Status::Invalid;
    char32_t code_point = 0;
    std::size_t length = 0;
};

// The sequence at the start of `bytes`, which must not be empty. An
// ill-formed run is the lead byte with the continuation bytes that fit it.
Utf8Step decode_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view text);

}  // namespace portavik
