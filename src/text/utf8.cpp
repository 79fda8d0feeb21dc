// SPDX-License-Identifier: MIT

#include "text/utf8.hpp"

namespace portavik {

Utf8Step decode_utf8(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) {
        return {Utf8Step::Status::Ok, lead, 1};
    }
    std::size_t need = 0;
    char32_t cp = 0;
    // The second byte's range depends on the lead byte; the others are 80..BF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        cp = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        cp = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {Utf8Step::Status::Invalid, 0, 1};
    }
    for (std::size_t i = 1; i < need; ++i) {
        if (i >= bytes.size()) {
            return {Utf8Step::Status::Truncated, 0, bytes.size()};
        }
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < low || b > high) {
            return {Utf8Step::Status::Invalid, 0, i};
        }
        cp = (cp << 6) | (b & 0x3Fu);
        low = 0x80;
        high = 0xBF;
    }
    return {Utf8Step::Status::Ok, cp, need};
}

bool is_valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const Utf8Step step = decode_utf8(text);
        if (step.status != Utf8Step::Status::Ok) {
            return false;
        }
        text.remove_prefix(step.length);
    }
    return true;
}

}  // namespace portavik
