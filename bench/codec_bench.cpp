// SPDX-License-Identifier: MIT

// Micro-benchmarks of what the receive loop does per chunk.

#include <benchmark/benchmark.h>

#include <vector>

#include "codec/crc.hpp"
#include "codec/hex.hpp"
#include "link/receive.hpp"

namespace {

std::vector<std::uint8_t> chunk_of(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    return bytes;
}

void BM_FormatHexOutput(benchmark::State& state) {
    const auto bytes = chunk_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(portavik::format_hex_output(bytes));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FormatHexOutput)->Arg(1)->Arg(64)->Arg(1024);

void BM_Crc16(benchmark::State& state) {
    const auto bytes = chunk_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(portavik::calculate_crc16(bytes));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(6)->Arg(1024);

void BM_PrintableCheck(benchmark::State& state) {
    std::vector<std::uint8_t> text(1024, 'a');
    for (auto _ : state) {
        benchmark::DoNotOptimize(portavik::is_printable_text(text));
    }
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PrintableCheck);

}  // namespace

BENCHMARK_MAIN();
