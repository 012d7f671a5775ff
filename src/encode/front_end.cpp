// Temporal ranges, bounding box and the static/dynamic classification with base values.

#include "encode/front_end.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>

#include "encode/quant.hpp"
#include "support/big_alloc.hpp"

namespace quorvex {

namespace {

// Largest finite f32: the empty bounding box spans it inverted on every axis.
constexpr float kLargestF32 = 3.4028235e38f;

// Elements per task of the range passes: min, max and the current run of a frame stay in
// the first-level cache while the task walks through the frames.
constexpr size_t kRangeChunk = 2048;

// Per element, frame 0 first, then frames 1 … t − 1 in order, both tests made for every
// element; for floats a NaN compares false, so only a NaN of frame 0 enters the range. Each
// task owns a run of elements and takes it through every frame, so the sequence is read once
// and the result is the same as frame-by-frame passes.
template <class T>
MinMax<T> minmax_plane(std::span<const T> plane, uint64_t t, size_t m) {
    MinMax<T> r;
    assign_zeroed(r.min, m);
    assign_zeroed(r.max, m);
    if (t == 0) return r;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, m, kRangeChunk),
                      [&](const tbb::blocked_range<size_t>& rg) {
                          // Each run's ranges live on the stack while the frames stream past, so the compiler
                          // knows they cannot overlap the plane and vectorises the loop.
                          T lo[kRangeChunk];
                          T hi[kRangeChunk];
                          for (size_t e0 = rg.begin(); e0 < rg.end(); e0 += kRangeChunk) {
                              const size_t len = std::min(kRangeChunk, rg.end() - e0);
                              for (size_t e = 0; e < len; ++e) lo[e] = hi[e] = plane[e0 + e];
                              for (uint64_t f = 1; f < t; ++f) {
                                  const T* cur = plane.data() + f * m + e0;
                                  for (size_t e = 0; e < len; ++e) {
                                      // Written as selects so the loop vectorises; a NaN v compares false and
                                      // keeps the old value, as the two tests would.
                                      const T v = cur[e];
                                      lo[e] = v < lo[e] ? v : lo[e];
                                      hi[e] = v > hi[e] ? v : hi[e];
                                  }
                              }
                              std::copy_n(lo, len, r.min.data() + e0);
                              std::copy_n(hi, len, r.max.data() + e0);
                          }
                      });
    return r;
}

// Float rule on c = 3 components with grid step and tolerance b, in double precision.
// A splat is static when every component's range fits within b (plus 1e-9 of slack for
// the rounding of the test itself) of one grid value; otherwise its base is frame 0
// rounded to the grid.
void classify_float(const MinMax<float>& r, const float* frame0, size_t n, double b, uint8_t* mask,
                    int32_t* base) {
    constexpr size_t c = 3;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n), [&](const tbb::blocked_range<size_t>& rg) {
        for (size_t i = rg.begin(); i < rg.end(); ++i) {
            int32_t k[c];
            bool all = true;
            for (size_t j = 0; j < c; ++j) {
                const double lo = r.min[i * c + j];
                const double hi = r.max[i * c + j];
                const double mid = (lo + hi) * 0.5 / b;
                k[j] = round_half_away_sat(mid);
                const double g = static_cast<double>(k[j]) * b;
                // Any NaN makes a comparison false and the component fail.
                const bool pass = hi - b - 1e-9 <= g && g <= lo + b + 1e-9;
                all = all && pass;
            }
            mask[i] = all ? 1 : 0;
            for (size_t j = 0; j < c; ++j)
                base[i * c + j] =
                    all ? k[j] : round_half_away_sat(static_cast<double>(frame0[i * c + j]) / b);
        }
    });
}

// Integer rule on c components with tolerance w: static when the floor of the average of
// min and max is within w of both ends. The comparisons are made in 64 bits so that a
// bound near the 32-bit limits compares mathematically instead of wrapping; for every
// bound where the 32-bit expressions are defined the outcome is the same.
template <class T>
void classify_int(const MinMax<T>& r, const T* frame0, size_t n, size_t c, int32_t w, uint8_t* mask,
                  int32_t* base) {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n), [&](const tbb::blocked_range<size_t>& rg) {
        for (size_t i = rg.begin(); i < rg.end(); ++i) {
            bool all = true;
            for (size_t j = 0; j < c; ++j) {
                const int32_t lo = r.min[i * c + j];
                const int32_t hi = r.max[i * c + j];
                const int32_t mid = (lo + hi) >> 1;  // arithmetic: floor of the average
                const bool pass = int64_t{mid} >= int64_t{hi} - w && int64_t{mid} <= int64_t{lo} + w;
                all = all && pass;
            }
            mask[i] = all ? 1 : 0;
            for (size_t j = 0; j < c; ++j) {
                const size_t e = i * c + j;
                base[e] = all ? ((int32_t{r.min[e]} + int32_t{r.max[e]}) >> 1) : int32_t{frame0[e]};
            }
        }
    });
}

// Folds the per-splat position ranges in splat order; a NaN operand never replaces the
// running value, so an axis whose every range is NaN keeps the empty box.
std::array<float, 6> fold_aabb(const MinMax<float>& r, size_t n) {
    std::array<float, 6> box{kLargestF32, kLargestF32, kLargestF32, -kLargestF32, -kLargestF32, -kLargestF32};
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            const float lo = r.min[i * 3 + j];
            const float hi = r.max[i * 3 + j];
            if (lo < box[j]) box[j] = lo;
            if (hi > box[3 + j]) box[3 + j] = hi;
        }
    }
    return box;
}

}  // namespace

MinMax<float> minmax_f32(std::span<const float> plane, uint64_t t, size_t m) {
    return minmax_plane(plane, t, m);
}
MinMax<uint8_t> minmax_u8(std::span<const uint8_t> plane, uint64_t t, size_t m) {
    return minmax_plane(plane, t, m);
}
MinMax<int16_t> minmax_i16(std::span<const int16_t> plane, uint64_t t, size_t m) {
    return minmax_plane(plane, t, m);
}

Classification classify(const Frames& frames, const Bounds& bounds) {
    const size_t n = frames.n;
    Classification cls;
    assign_zeroed(cls.mask_pos, n);
    assign_zeroed(cls.mask_rot, n);
    assign_zeroed(cls.mask_rgb, n);
    assign_zeroed(cls.mask_alpha, n);
    assign_zeroed(cls.mask_scale, n);
    assign_zeroed(cls.base_pos, n * 3);
    assign_zeroed(cls.base_scale, n * 3);
    assign_zeroed(cls.base_rgb, n * 3);
    assign_zeroed(cls.base_alpha, n);
    assign_zeroed(cls.base_rot, n * 4);
    cls.aabb = {kLargestF32, kLargestF32, kLargestF32, -kLargestF32, -kLargestF32, -kLargestF32};
    if (frames.t == 0) {
        // No frame at all: nothing varies, every attribute is static on base 0.
        for (auto* mask : {&cls.mask_pos, &cls.mask_rot, &cls.mask_rgb, &cls.mask_alpha, &cls.mask_scale})
            mask->assign(n, 1);
        return cls;
    }
    const Steps steps = steps_from(bounds);
    const uint64_t t = frames.t;

    // The ranges of one attribute are released before the next is measured.
    {
        const MinMax<float> r = minmax_f32(frames.pos, t, n * 3);
        cls.aabb = fold_aabb(r, n);
        classify_float(r, frames.pos.data(), n, steps.base_pos, cls.mask_pos.data(), cls.base_pos.data());
    }
    {
        const MinMax<float> r = minmax_f32(frames.scale_log, t, n * 3);
        classify_float(r, frames.scale_log.data(), n, steps.base_scale_log, cls.mask_scale.data(),
                       cls.base_scale.data());
    }
    {
        const MinMax<uint8_t> r = minmax_u8(frames.rgb, t, n * 3);
        classify_int(r, frames.rgb.data(), n, 3, bounds.rgb, cls.mask_rgb.data(), cls.base_rgb.data());
    }
    {
        const MinMax<uint8_t> r = minmax_u8(frames.alpha, t, n);
        classify_int(r, frames.alpha.data(), n, 1, bounds.alpha, cls.mask_alpha.data(),
                     cls.base_alpha.data());
    }
    {
        const MinMax<int16_t> r = minmax_i16(frames.rot, t, n * 4);
        classify_int(r, frames.rot.data(), n, 4, bounds.rot, cls.mask_rot.data(), cls.base_rot.data());
    }
    return cls;
}

FrontEnd front_end(Frames& frames, const Bounds& bounds) {
    const Classification cls = classify(frames, bounds);
    return order_splats(frames, cls, steps_from(bounds).pos);
}

}  // namespace quorvex
