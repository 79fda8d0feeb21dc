// SPDX-License-Identifier: MIT

#include "text/text.hpp"

#include <charconv>

#include "text/utf8.hpp"

namespace portavik {

namespace {

// Unicode White_Space.
bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

// The character at `text[at]` and its length; in text that is not valid
// UTF-8 every byte counts as a character of its own.
char32_t char_at(std::string_view text, std::size_t at, bool decodable, std::size_t& length) {
    if (!decodable) {
        length = 1;
        return static_cast<unsigned char>(text[at]);
    }
    const Utf8Step step = decode_utf8(text.substr(at));
    length = step.length;
    return step.code_point;
}

}  // namespace

std::string_view trim(std::string_view text) {
    const bool decodable = is_valid_utf8(text);
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 1;
        if (!is_white_space(char_at(text, begin, decodable, length))) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (decodable && start > begin && is_continuation(text[start])) {
            --start;
        }
        std::size_t length = 1;
        if (!is_white_space(char_at(text, start, decodable, length))) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    // from_chars takes no sign for an unsigned type, so "+-1" and "++1" fail too.
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stopped, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stopped != end || value > max) {
        return std::nullopt;
    }
    return value;
}

}  // namespace portavik
