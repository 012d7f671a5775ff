// Verification of a container against its frames: one frame, and a whole 30-frame sequence.

#include <benchmark/benchmark.h>

#include "bench/bench_frames.hpp"
#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/encode.hpp"

namespace quorvex::bench {
namespace {

struct Encoded1 {
    Frames frames;
    Decoder dec;
};

Encoded1 encoded_sequence(uint64_t t) {
    Frames f = make_frames(kSplats, t);
    auto e = encode(f, Bounds{}, 30, 3, false);
    auto d = Decoder::from_bytes(std::move(e->bytes));
    return Encoded1{std::move(f), std::move(*d)};
}

void run_verify(benchmark::State& state, uint64_t t) {
    const Encoded1 s = encoded_sequence(t);
    for (auto _ : state) {
        auto rep = verify(s.dec, s.frames);
        if (!rep || !rep->ok) state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(rep);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * s.frames.n * s.frames.t));
}

void BM_VerifyOneFrame(benchmark::State& state) { run_verify(state, 1); }
BENCHMARK(BM_VerifyOneFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VerifySequence(benchmark::State& state) { run_verify(state, kFrames); }
BENCHMARK(BM_VerifySequence)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quorvex::bench
