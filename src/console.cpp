#include "console.hpp"

#include <array>

namespace portavik {

void Console::print(std::string_view text) {
    std::lock_guard lock(out_lock_);
    if (!out_.write(text)) {
        throw OutputError("Failed to write to standard output");
    }
}

void Console::line(std::string_view text) {
    std::string whole;
    whole.reserve(text.size() + 1);
    whole.append(text);
    whole += '\n';
    print(whole);
}

void Console::error_line(std::string_view text) {
    std::string whole(text);
    whole += '\n';
    std::lock_guard lock(out_lock_);
    if (!err_.write(whole)) {
        throw OutputError("Failed to write to standard error");
    }
}

void Console::clear_screen() {
    std::lock_guard lock(out_lock_);
    if (clear_action_) {
        clear_action_();
        return;
    }
    // Home, erase the display, erase the scrollback (xterm "ED 3").
    if (!out_.write("\x1b[H\x1b[2J\x1b[3J")) {
        throw OutputError("Failed to write to standard output");
    }
}

void Console::set_clear_action(std::function<void()> action) {
    std::lock_guard lock(out_lock_);
    clear_action_ = std::move(action);
}

bool Console::fill() {
    // What was returned already goes before the buffer grows again.
    if (taken_ > 0) {
        pending_.erase_front(taken_);
        scanned_ -= taken_;
        taken_ = 0;
    }
    std::array<char, 4096> buffer;
    const SourceRead got = in_.read(buffer);
    if (got.failed) {
        ended_ = true;
        pending_.clear();
        scanned_ = 0;
        return false;
    }
    if (got.count == 0) {
        ended_ = true;
    } else {
        pending_.append(std::string_view(buffer.data(), got.count));
    }
    return true;
}

LineResult Console::take(std::size_t length, std::size_t skip) {
    std::string text;
    if (taken_ == 0) {
        // A line that starts the buffer (a long one always does) leaves it
        // without ever being held twice.
        text = pending_.take_front(length, skip);
    } else {
        text = pending_.view().substr(taken_, length);
        taken_ += length + skip;
    }
    if (taken_ == pending_.size()) {
        pending_.clear();
        taken_ = 0;
    }
    scanned_ = taken_;
    if (!is_valid_utf8(text)) {
        return std::unexpected(ReadError::Failed);
    }
    return text;
}

LineResult Console::read_line() {
    for (;;) {
        const std::string_view pending = pending_.view();
        if (const auto end = pending.find('\n', scanned_); end != std::string_view::npos) {
            return take(end - taken_, 1);
        }
        scanned_ = pending.size();
        if (ended_) {
            if (taken_ == pending.size()) {
                return std::unexpected(ReadError::Ended);
            }
            // The last line had no line feed.
            return take(pending.size() - taken_, 0);
        }
        if (!fill()) {
            return std::unexpected(ReadError::Failed);
        }
    }
}

namespace {

// Decodes the code point that starts at `text[i]`; `length` gets its size.
// Only called on valid UTF-8.
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t cp = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3FU);
    }
    return cp;
}

// Unicode White_Space.
bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

}  // namespace

std::string_view trim(std::string_view text) {
    const bool decodable = is_valid_utf8(text);
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 1;
        const char32_t cp =
            decodable ? decode_at(text, begin, length) : static_cast<unsigned char>(text[begin]);
        if (!is_white_space(cp)) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        if (decodable) {
            while (start > begin && is_continuation(text[start])) {
                --start;
            }
        }
        std::size_t length = 1;
        const char32_t cp =
            decodable ? decode_at(text, start, length) : static_cast<unsigned char>(text[start]);
        if (!is_white_space(cp)) {
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

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        char32_t min;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        char32_t cp = lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length; ++k) {
            if (!is_continuation(text[i + k])) {
                return false;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3FU);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::vector<std::string_view> split_after_line_erase(std::string_view text) {
    constexpr std::string_view kErase = "\x1b[2K\r";
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto at = text.find(kErase);
        if (at == std::string_view::npos || at + kErase.size() == text.size()) {
            pieces.push_back(text);
            return pieces;
        }
        pieces.push_back(text.substr(0, at + kErase.size()));
        text.remove_prefix(at + kErase.size());
    }
}

}  // namespace portavik
