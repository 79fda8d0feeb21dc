// SPDX-License-Identifier: MIT

// How reading one long line from a pipe scales with its length: a reader
// that searched the whole buffer again after every read, or moved it after
// every line, took quadratic time here.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "console/console.hpp"

namespace {

// A pipe's worth of input: `size` bytes of one line, 64 KiB a read.
class LongLine final : public portavik::ByteSource {
  public:
    explicit LongLine(std::size_t size) : left_(size) {}
    portavik::SourceRead read(std::span<char> buffer) override {
        if (left_ == 0 && !newline_sent_) {
            buffer[0] = '\n';
            newline_sent_ = true;
            return {1, false};
        }
        const std::size_t n = std::min({left_, buffer.size(), std::size_t{65536}});
        std::memset(buffer.data(), 'x', n);
        left_ -= n;
        return {n, false};
    }

  private:
    std::size_t left_;
    bool newline_sent_ = false;
};

class Discard final : public portavik::ByteSink {
  public:
    bool write(std::string_view) override { return true; }
};

void BM_ReadOneLongLine(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Discard out;
    for (auto _ : state) {
        LongLine in(size);
        portavik::Console console(in, out, out);
        benchmark::DoNotOptimize(console.read_line());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadOneLongLine)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
