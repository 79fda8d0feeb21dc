// SPDX-License-Identifier: MIT

#include "terminal/key_decoder.hpp"

#include <cstdint>

#include "text/utf8.hpp"

namespace portavik {
namespace {

constexpr unsigned char kEsc = 0x1B;

struct Decoded {
    bool complete = false;  // false: the bytes end before the key does
    KeyEvent event;
    std::size_t length = 0;
};

constexpr Decoded incomplete_key() {
    return Decoded{};
}

constexpr Decoded key(KeyEvent event, std::size_t length) {
    return Decoded{true, event, length};
}

constexpr Decoded other(std::size_t length) {
    return key(KeyEvent{KeyCode::Other}, length);
}

constexpr KeyEvent ctrl_char(char32_t ch) {
    return KeyEvent{KeyCode::Char, ch, modifier::ctrl};
}

unsigned char byte_at(std::string_view bytes, std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
}

KeyEvent ascii_key(unsigned char b) {
    switch (b) {
        case 0x0D:
        case 0x0A:
            return KeyEvent{KeyCode::Enter};
        case 0x7F:
        case 0x08:
            return KeyEvent{KeyCode::Backspace};
        case 0x09:
            return KeyEvent{KeyCode::Other};
        case 0x00:
            return ctrl_char(U' ');
        default:
            break;
    }
    if (b <= 0x1A) {
        return ctrl_char(U'a' + (b - 1u));
    }
    if (b < 0x20) {
        // 0x1C-0x1F; 0x1B never gets here.
        return ctrl_char(char32_t{b} + 0x40u);
    }
    return KeyEvent{KeyCode::Char, char32_t{b}};
}

Decoded utf8_key(std::string_view bytes, bool at_end) {
    const Utf8Step step = decode_utf8(bytes);
    switch (step.status) {
        case Utf8Step::Status::Ok:
            return key(KeyEvent{KeyCode::Char, step.code_point}, step.length);
        case Utf8Step::Status::Invalid:
            return other(step.length);
        case Utf8Step::Status::Truncated:
            break;
    }
    return at_end ? other(bytes.size()) : incomplete_key();
}

// Parameter and intermediate bytes 0x20-0x3F, then one final byte 0x40-0x7E
// (ECMA-48 5.4). Any other byte ends a broken sequence and stays for the
// next key.
Decoded sequence_from(std::string_view bytes, std::size_t start, bool at_end) {
    for (std::size_t i = start; i < bytes.size(); ++i) {
        const unsigned char b = byte_at(bytes, i);
        if (b >= 0x40 && b <= 0x7E) {
            return other(i + 1);
        }
        if (b < 0x20 || b > 0x3F) {
            return other(i);
        }
    }
    return at_end ? other(bytes.size()) : incomplete_key();
}

Decoded csi_key(std::string_view bytes, bool at_end) {
    // Linux console F1-F5: ESC [ [ A..E, where the second '[' is no final.
    if (bytes.size() > 2 && bytes[2] == '[') {
        if (bytes.size() > 3) {
            return other(4);
        }
        return at_end ? other(3) : incomplete_key();
    }
    return sequence_from(bytes, 2, at_end);
}

// A control string (DCS, OSC, SOS, PM, APC) runs to ST (ESC \, ECMA-48
// 8.3.143) or BEL (xterm ctlseqs, OSC). Any other ESC starts the next key.
Decoded control_string_key(std::string_view bytes, bool at_end) {
    for (std::size_t i = 2; i < bytes.size(); ++i) {
        const unsigned char b = byte_at(bytes, i);
        if (b == 0x07) {
            return other(i + 1);
        }
        if (b == kEsc) {
            if (i + 1 >= bytes.size()) {
                break;
            }
            return bytes[i + 1] == '\\' ? other(i + 2) : other(i);
        }
    }
    return at_end ? other(bytes.size()) : incomplete_key();
}

Decoded with_alt(Decoded inner) {
    if (inner.complete) {
        inner.event.modifiers |= modifier::alt;
        inner.length += 1;
    }
    return inner;
}

Decoded decode(std::string_view bytes, bool at_end);

// `nested`: this ESC follows another one, which takes it as an Alt prefix;
// it is then a key of its own and never a further prefix.
Decoded escape_key(std::string_view bytes, bool at_end, bool nested) {
    if (bytes.size() == 1) {
        return at_end ? key(KeyEvent{KeyCode::Esc}, 1) : incomplete_key();
    }
    switch (bytes[1]) {
        case '[':
            return csi_key(bytes, at_end);
        case 'O':
            return sequence_from(bytes, 2, at_end);
        case 'P':
        case ']':
        case 'X':
        case '^':
        case '_':
            return control_string_key(bytes, at_end);
        default:
            break;
    }
    const std::string_view rest = bytes.substr(1);
    if (byte_at(bytes, 1) == kEsc) {
        if (nested) {
            return key(KeyEvent{KeyCode::Esc}, 1);
        }
        return with_alt(escape_key(rest, at_end, true));
    }
    return with_alt(decode(rest, at_end));
}

Decoded decode(std::string_view bytes, bool at_end) {
    const unsigned char b = byte_at(bytes, 0);
    if (b == kEsc) {
        return escape_key(bytes, at_end, false);
    }
    if (b < 0x80) {
        return key(ascii_key(b), 1);
    }
    return utf8_key(bytes, at_end);
}

}  // namespace

void KeyDecoder::feed(std::string_view bytes) {
    if (pos_ > 0) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<KeyEvent> KeyDecoder::next() {
    if (!flushed_.empty()) {
        KeyEvent event = flushed_.front();
        flushed_.pop_front();
        return event;
    }
    if (pos_ >= buffer_.size()) {
        return std::nullopt;
    }
    const Decoded d = decode(std::string_view(buffer_).substr(pos_), false);
    if (!d.complete) {
        return std::nullopt;
    }
    pos_ += d.length;
    if (pos_ == buffer_.size()) {
        buffer_.clear();
        pos_ = 0;
    }
    return d.event;
}

bool KeyDecoder::incomplete() const {
    return flushed_.empty() && pos_ < buffer_.size() &&
           !decode(std::string_view(buffer_).substr(pos_), false).complete;
}

void KeyDecoder::flush() {
    std::string_view rest = std::string_view(buffer_).substr(pos_);
    while (!rest.empty()) {
        const Decoded d = decode(rest, true);
        flushed_.push_back(d.event);
        rest.remove_prefix(d.length);
    }
    buffer_.clear();
    pos_ = 0;
}

void KeyDecoder::clear() {
    buffer_.clear();
    pos_ = 0;
    flushed_.clear();
}

}  // namespace portavik
