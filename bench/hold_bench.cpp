// Hold coding and job building kernels on every splat of the synthetic sequence.

#include <benchmark/benchmark.h>

#include <numeric>

#include "bench/bench_frames.hpp"
#include "encode/catalogue.hpp"
#include "encode/hold.hpp"

namespace quorvex::bench {
namespace {

const Frames& moving_frames() {
    static const Frames f = make_frames(kSplats, kFrames, 0.0);
    return f;
}

std::vector<uint32_t> all_splats(uint64_t n) {
    std::vector<uint32_t> d(n);
    std::iota(d.begin(), d.end(), 0u);
    return d;
}

void BM_HoldF(benchmark::State& state) {
    const Frames& f = moving_frames();
    const std::vector<uint32_t> dyn = all_splats(f.n);
    for (auto _ : state) {
        std::vector<int32_t> held = hold_f(f.pos, f.t, f.n, dyn, 0.004, 0.002);
        benchmark::DoNotOptimize(held.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.n * f.t));
}
BENCHMARK(BM_HoldF)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HoldI(benchmark::State& state) {
    const Frames& f = moving_frames();
    const std::vector<uint32_t> dyn = all_splats(f.n);
    const uint8_t* rgb = f.rgb.data();
    const uint64_t n = f.n;
    for (auto _ : state) {
        std::vector<int32_t> held = hold_i(
            [rgb, n](uint64_t fr, uint32_t s, size_t k) { return int32_t{rgb[(fr * n + s) * 3 + k]}; }, f.t, 3, dyn,
            9, 4);
        benchmark::DoNotOptimize(held.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.n * f.t));
}
BENCHMARK(BM_HoldI)->Unit(benchmark::kMillisecond)->UseRealTime();

// Key and delta values of every GOP of 30 frames sliced from one held table.
void BM_GopValues(benchmark::State& state) {
    const Frames& f = moving_frames();
    const std::vector<uint32_t> dyn = all_splats(f.n);
    const std::vector<int32_t> held = hold_f(f.pos, f.t, f.n, dyn, 0.004, 0.002);
    for (auto _ : state) {
        GopValues g = gop_values(held, dyn.size(), 3, 0, f.t - 1);
        benchmark::DoNotOptimize(g.delta.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.n * f.t));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * held.size() * sizeof(int32_t)));
}
BENCHMARK(BM_GopValues)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quorvex::bench
