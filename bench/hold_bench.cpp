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

// Positions drift by up to 10 mm a frame: a bound of 2 mm re-quantises nearly every frame, one
// of 20 mm mostly holds.
void BM_HoldF(benchmark::State& state) {
    const Frames& f = moving_frames();
    const std::vector<uint32_t> dyn = all_splats(f.n);
    const double bound = static_cast<double>(state.range(0)) / 1000.0;
    for (auto _ : state) {
        std::vector<int32_t> held = hold_f(f.pos, f.t, f.n, dyn, 2 * bound, bound);
        benchmark::DoNotOptimize(held.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.n * f.t));
}
BENCHMARK(BM_HoldF)->ArgName("bound_mm")->Arg(2)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Colours flicker by up to 3 levels a frame: a bound of 1 re-quantises often, one of 4 holds.
void BM_HoldI(benchmark::State& state) {
    const Frames& f = moving_frames();
    const std::vector<uint32_t> dyn = all_splats(f.n);
    const uint8_t* rgb = f.rgb.data();
    const uint64_t n = f.n;
    const auto bound = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        std::vector<int32_t> held =
            hold_i([rgb, n](uint64_t fr, uint32_t s, size_t k) { return int32_t{rgb[(fr * n + s) * 3 + k]}; },
                   f.t, 3, dyn, 2 * bound + 1, bound);
        benchmark::DoNotOptimize(held.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.n * f.t));
}
BENCHMARK(BM_HoldI)->ArgName("bound")->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

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
