// Front-end kernels: temporal ranges, classification, sort keys with the sort, plane reordering.

#include <benchmark/benchmark.h>
#include <tbb/parallel_for.h>

#include "bench/bench_frames.hpp"
#include "encode/front_end.hpp"

namespace quorvex::bench {
namespace {

const Frames& shared_frames() {
    static const Frames f = make_frames(kSplats, kFrames);
    return f;
}

void set_splat_frames(benchmark::State& state, uint64_t n, uint64_t t) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n * t));
}

void BM_MinmaxF32(benchmark::State& state) {
    const Frames& f = shared_frames();
    for (auto _ : state) {
        MinMax<float> r = minmax_f32(f.pos, f.t, f.n * 3);
        benchmark::DoNotOptimize(r.min.data());
    }
    set_splat_frames(state, f.n, f.t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.pos.size() * sizeof(float)));
}
BENCHMARK(BM_MinmaxF32)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Classify(benchmark::State& state) {
    const Frames& f = shared_frames();
    const Bounds b;
    for (auto _ : state) {
        Classification c = classify(f, b);
        benchmark::DoNotOptimize(c.mask_pos.data());
    }
    set_splat_frames(state, f.n, f.t);
}
BENCHMARK(BM_Classify)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SortKeys(benchmark::State& state) {
    const Frames& f = shared_frames();
    const Bounds b;
    const Classification c = classify(f, b);
    const double cell = 2.0 * b.pos_m;
    std::vector<uint64_t> keys(f.n);
    for (auto _ : state) {
        tbb::parallel_for(size_t{0}, size_t(f.n), [&](size_t i) {
            keys[i] = sort_key(pattern_of(c, i), f.pos.data() + i * 3, c.aabb, cell);
        });
        std::vector<uint32_t> perm = sort_permutation(keys);
        benchmark::DoNotOptimize(perm.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.n));
}
BENCHMARK(BM_SortKeys)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Permute(benchmark::State& state) {
    Frames f = make_frames(kSplats, kFrames);
    const Classification c = classify(f, Bounds{});
    // A realistic order: the file order of this sequence.
    Frames copy = f;
    const std::vector<uint32_t> perm = order_splats(copy, c, 0.004).perm;
    for (auto _ : state) {
        permute(f.pos, f.n, 3, perm);
        benchmark::ClobberMemory();
    }
    set_splat_frames(state, f.n, f.t);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.pos.size() * sizeof(float)));
}
BENCHMARK(BM_Permute)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FrontEnd(benchmark::State& state) {
    const Frames& src = shared_frames();
    const Bounds b;
    for (auto _ : state) {
        state.PauseTiming();
        Frames f = src;
        state.ResumeTiming();
        FrontEnd fe = front_end(f, b);
        benchmark::DoNotOptimize(fe.perm.data());
    }
    set_splat_frames(state, src.n, src.t);
}
BENCHMARK(BM_FrontEnd)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace quorvex::bench
