// Whole encodes under a pool of 1 or 2 workers: the synthetic sequence in memory, and (when
// the harness names one in QX_BENCH_FRAMES) a frame directory loaded and encoded in process.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "bench/bench_frames.hpp"
#include "encode/encode.hpp"

namespace quorvex::bench {

namespace {

void BM_Encode(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    static const Frames src = make_frames(kSplats, kFrames);
    for (auto _ : state) {
        state.PauseTiming();
        Frames f = src;
        state.ResumeTiming();
        with_threads(threads, [&] {
            auto e = encode(f, Bounds{}, 30, 3, false);
            if (!e) state.SkipWithError(e.error().render().c_str());
            benchmark::DoNotOptimize(e);
        });
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * src.n * src.t));
}
BENCHMARK(BM_Encode)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Loading plus encoding a frame directory, what `encode --no-verify` does before it writes.
void BM_EncodeDir(benchmark::State& state, std::string dir) {
    const int threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        with_threads(threads, [&] {
            auto f = Frames::load(dir, std::nullopt);
            if (!f) {
                state.SkipWithError(f.error().render().c_str());
                return;
            }
            auto e = encode(*f, Bounds{}, 30, 3, false);
            if (!e) state.SkipWithError(e.error().render().c_str());
            benchmark::DoNotOptimize(e);
        });
    }
}

}  // namespace

// Registered only when the harness names a directory; the codec itself reads no environment.
void register_encode_dir() {
    const char* dir = std::getenv("QX_BENCH_FRAMES");
    if (!dir || !*dir) return;
    benchmark::RegisterBenchmark("BM_EncodeDir", BM_EncodeDir, std::string(dir))
        ->ArgName("threads")
        ->Arg(1)
        ->Arg(2)
        ->Iterations(1)
        ->Unit(benchmark::kSecond)
        ->UseRealTime();
}

}  // namespace quorvex::bench
