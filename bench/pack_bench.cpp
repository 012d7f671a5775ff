// Stream packing per width: byte planes, entropy and zstd level 3, one stream per call.
// 3 M values (the delta stream of 100k splats × 3 components × 10 frames); 12 M values
// cross into zstd's multi-threaded path.

#include <benchmark/benchmark.h>

#include <algorithm>

#include "bench/bench_frames.hpp"
#include "streams/stream.hpp"

namespace quorvex::bench {
namespace {

// Mostly small zigzagged deltas with a few values of the full width, like a delta stream.
std::vector<uint32_t> stream_values(size_t count, uint8_t width) {
    std::vector<uint32_t> v(count);
    uint64_t z = 12345;
    const uint32_t top = width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        z = z * 6364136223846793005ull + 1442695040888963407ull;
        const uint32_t r = static_cast<uint32_t>(z >> 33);
        v[i] = (r % 16 == 0) ? (r % 7) : 0;
        if (i % 4096 == 0) v[i] = top;
    }
    return v;
}

// The encoder's path: values packed in place, contexts borrowed from a pool.
void BM_Pack(benchmark::State& state) {
    const auto width = static_cast<uint8_t>(state.range(0));
    const auto count = static_cast<size_t>(state.range(1));
    const std::vector<uint32_t> values = stream_values(count, width);
    std::vector<uint32_t> work(count);
    ZstdPool pool;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(values.begin(), values.end(), work.begin());
        state.ResumeTiming();
        auto p = pack_in_place(work, 0, 1, 3, &pool);
        if (!p) state.SkipWithError(p.error().render().c_str());
        benchmark::DoNotOptimize(p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * width));
}
BENCHMARK(BM_Pack)
    ->ArgNames({"width", "values"})
    ->Args({1, 3'000'000})
    ->Args({2, 3'000'000})
    ->Args({4, 3'000'000})
    ->Args({1, 12'000'000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace quorvex::bench
