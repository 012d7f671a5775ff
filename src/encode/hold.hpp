#pragma once
// Bounded hold coding: per dynamic splat, keep the previous frame's quantisation indices as
// long as their reconstruction stays within the bound; otherwise re-quantise the whole splat.
// Held tables are t × D × m int32 entries, entry (f, j, k) at (f * D + j) * m + k.

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "encode/quant.hpp"
#include "support/big_alloc.hpp"

namespace quorvex {

// Ascending indices i with mask[i] == 0 (the dynamic splats of one attribute).
std::vector<uint32_t> dyn_indices(std::span<const uint8_t> mask);

// Held table of a float attribute with 3 components per splat; `values` is a Frames plane.
std::vector<int32_t> hold_f(std::span<const float> values, uint64_t t, uint64_t n,
                            std::span<const uint32_t> dyn, double step, double bound);

// Dynamic splats per task of the hold: a task takes its run of splats through every frame,
// keeping the run's last two held rows in cache.
inline constexpr size_t kHoldChunk = 1024;

namespace hold_detail {

// The hold rule for dynamic splats [j0, j1) through frames f_begin … f_end − 1, M components
// per splat (M = 0: m given at run time). fresh(f, s, k) quantises component k of splat s in
// frame f; over(f, s, k, held) tells whether the reconstruction of a held index is beyond the
// bound. From frame 0 the first row is quantised afresh; a later f_begin continues from the
// held indices of frame f_begin − 1 found in carry (D × m entries, entry j × m + k), and the
// last row processed is left there. After each frame, emit(f, j0, j1, cur, prev) receives the
// run's held rows of frames f and f − 1 (prev is null at f = 0), entry (j − j0) × m + k.
template <size_t M, class Fresh, class Over, class Emit>
void run(uint64_t f_begin, uint64_t f_end, size_t m_rt, std::span<const uint32_t> dyn, size_t j0, size_t j1,
         int32_t* carry, const Fresh& fresh, const Over& over, const Emit& emit) {
    const size_t m = M != 0 ? M : m_rt;
    std::vector<int32_t> rows(2 * (j1 - j0) * m);
    int32_t* prev = rows.data();
    int32_t* cur = prev + (j1 - j0) * m;
    uint64_t f = f_begin;
    if (f == 0) {
        for (size_t j = j0; j < j1; ++j)
            for (size_t k = 0; k < m; ++k) prev[(j - j0) * m + k] = fresh(0, dyn[j], k);
        emit(uint64_t{0}, j0, j1, static_cast<const int32_t*>(prev), static_cast<const int32_t*>(nullptr));
        ++f;
    } else {
        std::copy_n(carry + j0 * m, (j1 - j0) * m, prev);
    }
    for (; f < f_end; ++f) {
        for (size_t j = j0; j < j1; ++j) {
            const uint32_t s = dyn[j];
            const int32_t* p = prev + (j - j0) * m;
            int32_t* c = cur + (j - j0) * m;
            // Measured against the held reconstruction, not the previous value, so slow drift
            // cannot accumulate. Every component is tested without a branch per component: the
            // tests have no side effects, so this decides exactly as stopping at the first
            // component over the bound would, without a hard-to-predict branch for each.
            bool refresh = false;
            for (size_t k = 0; k < m; ++k) refresh |= over(f, s, k, p[k]);
            if (refresh) {
                for (size_t k = 0; k < m; ++k) c[k] = fresh(f, s, k);
            } else {
                for (size_t k = 0; k < m; ++k) c[k] = p[k];
            }
        }
        emit(f, j0, j1, static_cast<const int32_t*>(cur), static_cast<const int32_t*>(prev));
        std::swap(prev, cur);
    }
    if (carry) std::copy_n(prev, (j1 - j0) * m, carry + j0 * m);
}

template <size_t M, class Fresh, class Over, class Emit>
void run_all(uint64_t f_begin, uint64_t f_end, size_t m, std::span<const uint32_t> dyn, int32_t* carry,
             const Fresh& fresh, const Over& over, const Emit& emit) {
    if (dyn.empty() || f_begin >= f_end) return;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, dyn.size(), kHoldChunk),
                      [&](const tbb::blocked_range<size_t>& r) {
                          run<M>(f_begin, f_end, m, dyn, r.begin(), r.end(), carry, fresh, over, emit);
                      });
}

// Copies each emitted row into a held table with m components per splat.
struct TableSink {
    int32_t* held;
    size_t d;
    size_t m;
    void operator()(uint64_t f, size_t j0, size_t j1, const int32_t* cur, const int32_t*) const {
        std::copy_n(cur, (j1 - j0) * m, held + (static_cast<size_t>(f) * d + j0) * m);
    }
};

}  // namespace hold_detail

// The hold of a float attribute (3 components) over frames f_begin … f_end − 1, row by row:
// emit(f, j0, j1, cur, prev) gets the held indices of frame f (cur) and f − 1 (prev, null at
// f = 0) for the dynamic splats j0 … j1 − 1, entry (j − j0) × 3 + k. Runs of splats are
// processed concurrently; each run's frames arrive in order. Unless f_begin is 0, carry holds
// the held indices of frame f_begin − 1 (D × 3 entries); those of frame f_end − 1 are left in
// it. carry may be null for f_begin = 0.
template <class Emit>
void hold_f_rows(std::span<const float> values, uint64_t n, std::span<const uint32_t> dyn, double step,
                 double bound, uint64_t f_begin, uint64_t f_end, int32_t* carry, const Emit& emit) {
    const float* v = values.data();
    auto fresh = [v, n, step](uint64_t f, uint32_t s, size_t k) {
        return quantize_f(v[(f * n + s) * 3 + k], step);
    };
    // A NaN error compares false and holds.
    auto over = [v, n, step, bound](uint64_t f, uint32_t s, size_t k, int32_t held) {
        const double err =
            std::fabs(static_cast<double>(v[(f * n + s) * 3 + k]) - static_cast<double>(held) * step);
        return err > bound;
    };
    hold_detail::run_all<3>(f_begin, f_end, 3, dyn, carry, fresh, over, emit);
}

// The hold of an integer attribute read through value(f, s, k) → int32 with m components, row
// by row as hold_f_rows.
template <class ValueFn, class Emit>
void hold_i_rows(const ValueFn& value, size_t m, std::span<const uint32_t> dyn, int32_t step, int32_t bound,
                 uint64_t f_begin, uint64_t f_end, int32_t* carry, const Emit& emit) {
    auto fresh = [&value, step](uint64_t f, uint32_t s, size_t k) {
        return quantize_i(value(f, s, k), step);
    };
    // Widened so that a saturated index cannot overflow; equal to the 32-bit result whenever
    // that one is defined.
    auto over = [&value, step, bound](uint64_t f, uint32_t s, size_t k, int32_t held) {
        return std::llabs(int64_t{value(f, s, k)} - int64_t{held} * step) > bound;
    };
    switch (m) {
        case 1:
            return hold_detail::run_all<1>(f_begin, f_end, m, dyn, carry, fresh, over, emit);
        case 3:
            return hold_detail::run_all<3>(f_begin, f_end, m, dyn, carry, fresh, over, emit);
        case 4:
            return hold_detail::run_all<4>(f_begin, f_end, m, dyn, carry, fresh, over, emit);
        default:
            return hold_detail::run_all<0>(f_begin, f_end, m, dyn, carry, fresh, over, emit);
    }
}

// Held table of an integer attribute read through value(f, s, k) → int32 with m components.
template <class ValueFn>
std::vector<int32_t> hold_i(const ValueFn& value, uint64_t t, size_t m, std::span<const uint32_t> dyn,
                            int32_t step, int32_t bound) {
    std::vector<int32_t> held;
    assign_zeroed(held, static_cast<size_t>(t) * dyn.size() * m);
    hold_i_rows(value, m, dyn, step, bound, 0, t, nullptr,
                hold_detail::TableSink{held.data(), dyn.size(), m});
    return held;
}

}  // namespace quorvex
