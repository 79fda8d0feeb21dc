// SPDX-License-Identifier: MIT

// The POSIX key decoder on any typed bytes, fed whole and fed in pieces
// (the cuts come from the input's last bytes). Split reads decode to the same
// keys as one read; every character key was typed, at its place; after
// draining, flush() gives exactly one key for an unfinished one, else none.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reference.hpp"
#include "terminal/key_decoder.hpp"

using portavik::KeyCode;
using portavik::KeyDecoder;
using portavik::KeyEvent;
using portavik::fuzz::check;
namespace modifier = portavik::modifier;

namespace {

struct Decoded {
    std::vector<KeyEvent> keys;
    std::vector<KeyEvent> flushed;
};

void drain(KeyDecoder& decoder, std::vector<KeyEvent>& into) {
    while (const auto key = decoder.next()) {
        into.push_back(*key);
    }
}

Decoded decode_in_pieces(const std::string& typed, const std::vector<std::size_t>& cuts) {
    KeyDecoder decoder;
    Decoded out;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        decoder.feed(std::string_view(typed).substr(from, cut - from));
        drain(decoder, out.keys);
        from = cut;
    }
    decoder.feed(std::string_view(typed).substr(from));
    drain(decoder, out.keys);
    const bool unfinished = decoder.incomplete();
    decoder.flush();
    drain(decoder, out.flushed);
    check(out.flushed.size() == (unfinished ? 1U : 0U),
          "flush gives one key for an unfinished one and none otherwise");
    check(!decoder.next() && !decoder.incomplete(), "nothing stays behind after flush");
    return out;
}

// The bytes a key stands for, when it stands for definite bytes.
std::optional<std::string> typed_form(const KeyEvent& key) {
    std::string bytes = (key.modifiers & modifier::alt) != 0 ? "\x1b" : "";
    if (key.code != KeyCode::Char) {
        return std::nullopt;
    }
    if ((key.modifiers & modifier::ctrl) != 0) {
        // Caret notation: Ctrl+Space is NUL, Ctrl+a..z are 0x01..0x1A,
        // Ctrl+\ ] ^ _ are 0x1C..0x1F.
        const char32_t ch = key.ch;
        check(ch == U' ' || (ch >= U'a' && ch <= U'z') || (ch >= U'\\' && ch <= U'_'),
              "a control key is a caret-notation character");
        bytes += static_cast<char>(ch == U' '                 ? 0x00
                                   : ch >= U'a' && ch <= U'z' ? ch - U'a' + 1
                                                              : ch - 0x40);
        return bytes;
    }
    check(key.ch >= 0x20 && key.ch != 0x7F && key.ch <= 0x10FFFF &&
              !(key.ch >= 0xD800 && key.ch <= 0xDFFF),
          "a plain character is a printable Unicode scalar value");
    return bytes + portavik::fuzz::encode_utf8(key.ch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    std::vector<std::uint16_t> raw_cuts(provider.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& cut : raw_cuts) {
        cut = provider.ConsumeIntegral<std::uint16_t>();
    }
    const std::string typed = provider.ConsumeRemainingBytesAsString();
    std::vector<std::size_t> cuts;
    for (const auto cut : raw_cuts) {
        cuts.push_back(cut % (typed.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());

    const Decoded whole = decode_in_pieces(typed, {});
    const Decoded split = decode_in_pieces(typed, cuts);
    check(whole.keys == split.keys && whole.flushed == split.flushed,
          "split reads decode to the same keys as one read");

    // Each character key's bytes stand in the input, in order, one after
    // the other: no key makes up a character that was not typed.
    std::size_t at = 0;
    std::vector<KeyEvent> all = whole.keys;
    all.insert(all.end(), whole.flushed.begin(), whole.flushed.end());
    for (const KeyEvent& key : all) {
        const auto form = typed_form(key);
        if (key.code == KeyCode::Enter || key.code == KeyCode::Backspace) {
            const char* from = key.code == KeyCode::Enter ? "\r\n" : "\x7f\x08";
            at = typed.find_first_of(std::string_view(from, 2), at);
            check(at != std::string::npos, "Enter and Backspace come from their bytes");
            ++at;
        } else if (form) {
            at = typed.find(*form, at);
            check(at != std::string::npos, "every character key was typed");
            at += form->size();
        }
    }
    return 0;
}
