#pragma once
// Bounded hold coding: per dynamic splat, keep the previous frame's quantisation indices as
// long as their reconstruction stays within the bound; otherwise re-quantise the whole splat.
// Held tables are t × D × m int32 entries, entry (f, j, k) at (f * D + j) * m + k.

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "encode/quant.hpp"

namespace quorvex {

// Ascending indices i with mask[i] == 0 (the dynamic splats of one attribute).
std::vector<uint32_t> dyn_indices(std::span<const uint8_t> mask);

// Held table of a float attribute with 3 components per splat; `values` is a Frames plane.
std::vector<int32_t> hold_f(std::span<const float> values, uint64_t t, uint64_t n,
                            std::span<const uint32_t> dyn, double step, double bound);

// Held table of an integer attribute read through value(f, s, k) → int32 with m components.
template <class ValueFn>
std::vector<int32_t> hold_i(const ValueFn& value, uint64_t t, size_t m, std::span<const uint32_t> dyn,
                            int32_t step, int32_t bound) {
    const size_t d = dyn.size();
    std::vector<int32_t> held(static_cast<size_t>(t) * d * m);
    if (d == 0 || t == 0) return held;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, d), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t j = r.begin(); j < r.end(); ++j)
            for (size_t k = 0; k < m; ++k) held[j * m + k] = quantize_i(value(0, dyn[j], k), step);
    });
    for (uint64_t f = 1; f < t; ++f) {
        int32_t* cur = held.data() + f * d * m;
        const int32_t* prev = cur - d * m;
        tbb::parallel_for(tbb::blocked_range<size_t>(0, d), [&](const tbb::blocked_range<size_t>& r) {
            for (size_t j = r.begin(); j < r.end(); ++j) {
                const uint32_t s = dyn[j];
                bool refresh = false;
                for (size_t k = 0; k < m; ++k) {
                    // Widened so that a saturated index cannot overflow; equal to the 32-bit
                    // result whenever that one is defined.
                    int64_t err = std::llabs(int64_t{value(f, s, k)} - int64_t{prev[j * m + k]} * step);
                    if (err > bound) {
                        refresh = true;
                        break;
                    }
                }
                for (size_t k = 0; k < m; ++k)
                    cur[j * m + k] = refresh ? quantize_i(value(f, s, k), step) : prev[j * m + k];
            }
        });
    }
    return held;
}

}  // namespace quorvex
