// SPDX-License-Identifier: MIT

// Console::read_line over any bytes (invalid UTF-8, NUL, lines up to about
// 2 MiB from a short input repeated), handed out in reads of any size, with
// the input ending or failing. The lines must be those of a plain split at
// line feeds, whatever the read sizes: a valid line as it is, an invalid one
// as one failure; an I/O error one failure; then the end, for good.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.hpp"
#include "reference.hpp"

using portavik::fuzz::check;

namespace {

class PacedSource final : public portavik::ByteSource {
  public:
    PacedSource(const std::string& bytes, std::size_t chunk, bool fail_at_end)
        : bytes_(bytes), chunk_(chunk), fail_at_end_(fail_at_end) {}

    portavik::SourceRead read(std::span<char> buffer) override {
        check(!done_, "no read after the input ended or failed");
        const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size() - at_});
        if (n == 0) {
            done_ = true;
            return {0, fail_at_end_};
        }
        std::copy_n(bytes_.data() + at_, n, buffer.data());
        at_ += n;
        return {n, false};
    }

  private:
    const std::string& bytes_;
    std::size_t chunk_;
    bool fail_at_end_;
    std::size_t at_ = 0;
    bool done_ = false;
};

class NullSink final : public portavik::ByteSink {
  public:
    bool write(std::string_view) override { return true; }
};

void expect_line(portavik::Console& console, std::string_view line) {
    const portavik::LineResult got = console.read_line();
    if (portavik::fuzz::decode_utf8(line)) {
        check(got && *got == line, "a valid line comes back as it was sent");
    } else {
        check(!got && got.error() == portavik::ReadError::Failed,
              "a line that is not UTF-8 is one failure");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const auto chunk = provider.ConsumeIntegralInRange<std::size_t>(1, 4096);
    const auto copies = provider.ConsumeIntegralInRange<std::size_t>(1, 512);
    const bool fail_at_end = provider.ConsumeBool();
    const std::string piece = provider.ConsumeRemainingBytesAsString();
    std::string input;
    input.reserve(piece.size() * copies);
    for (std::size_t i = 0; i < copies; ++i) {
        input += piece;
    }

    PacedSource source(input, chunk, fail_at_end);
    NullSink sink;
    portavik::Console console(source, sink, sink);
    std::size_t start = 0;
    for (std::size_t end; (end = input.find('\n', start)) != std::string::npos; start = end + 1) {
        expect_line(console, std::string_view(input).substr(start, end - start));
    }
    if (fail_at_end) {
        const portavik::LineResult got = console.read_line();
        check(!got && got.error() == portavik::ReadError::Failed,
              "an I/O error is one failure, and the unfinished line goes with it");
    } else if (start < input.size()) {
        expect_line(console, std::string_view(input).substr(start));
    }
    for (int i = 0; i < 2; ++i) {
        const portavik::LineResult got = console.read_line();
        check(!got && got.error() == portavik::ReadError::Ended, "the end stays the end");
    }
    return 0;
}
