// SPDX-License-Identifier: MIT

// The lines the standard receiver prints for one chunk of any bytes: the HEX
// line, and the text line exactly when the chunk is valid UTF-8 made of
// printable ASCII and tab, LF, FF, CR, space. The buffer is reused, as the
// receiver does, after a chunk of another size.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/receive.hpp"
#include "reference.hpp"

using portavik::fuzz::check;

namespace {

bool shown_as_text(std::span<const std::uint8_t> chunk) {
    const auto code_points = portavik::fuzz::decode_utf8(
        std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size()));
    return code_points && std::all_of(code_points->begin(), code_points->end(), [](char32_t c) {
               return (c >= 33 && c <= 126) || c == '\t' || c == '\n' || c == '\f' || c == '\r' ||
                      c == ' ';
           });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> chunk(data, size);
    const bool text = shown_as_text(chunk);
    check(portavik::is_printable_text(chunk) == text, "text exactly for printable ASCII");

    std::string expected = "📥 Получено (HEX): " + portavik::fuzz::hex_text(chunk) + "\n";
    if (text) {
        expected += "📥 Получено (текст): ";
        expected.append(reinterpret_cast<const char*>(data), size);
        expected += "\n";
    }
    std::string lines;
    portavik::format_received_chunk(lines, chunk.subspan(size / 2));
    portavik::format_received_chunk(lines, chunk);
    check(lines == expected, "the chunk's HEX line, then its text line when printable");
    return 0;
}
