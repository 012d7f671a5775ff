#include "encode/holdable.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>

namespace quorvex {

namespace {

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

// Index of the first element of the plane that cannot be held at `step`, or kNone. Blocks are
// screened with a float comparison against a limit a little below kMaxHoldIndex × step (every
// float under it passes the exact test), and only a block with a value at or beyond the limit,
// or a NaN, is searched with the exact test. The minimum is exact, so the answer does not depend
// on how the range is split.
uint64_t first_unholdable(std::span<const float> plane, double step) {
    constexpr size_t kBlock = 4096;
    // Relative margin far above the rounding of |x| / step; float(inf) when the product
    // exceeds the float range, where every finite float passes.
    const float limit = std::nextafter(static_cast<float>(kMaxHoldIndex * step * (1.0 - 1e-6)), 0.0f);
    const size_t blocks = (plane.size() + kBlock - 1) / kBlock;
    return tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, blocks), kNone,
        [&](const tbb::blocked_range<size_t>& r, uint64_t best) {
            for (size_t b = r.begin(); b < r.end(); ++b) {
                const size_t lo = b * kBlock;
                const size_t hi = std::min(plane.size(), lo + kBlock);
                if (lo >= best) return best;
                bool screened_out = false;
                for (size_t e = lo; e < hi; ++e) screened_out |= !(std::fabs(plane[e]) < limit);
                if (!screened_out) continue;
                for (size_t e = lo; e < hi; ++e)
                    if (!holdable(plane[e], step)) return std::min<uint64_t>(best, e);
            }
            return best;
        },
        [](uint64_t a, uint64_t b) { return std::min(a, b); });
}

std::string frame_name(const Frames& f, uint64_t k) {
    if (f.files.size() == f.t) return f.files[k].string();
    return fmt::format("frame {}", k);
}

}  // namespace

bool holdable(float x, double step) {
    if (std::isnan(x)) return true;
    // An infinite x, or a quotient that overflows to infinity, fails the comparison too.
    return std::fabs(static_cast<double>(x) / step) < kMaxHoldIndex;
}

Status check_holdable(const Frames& frames, const Bounds& bounds) {
    const Steps steps = steps_from(bounds);
    const uint64_t pos = first_unholdable(frames.pos, steps.pos);
    const uint64_t scale = first_unholdable(frames.scale_log, steps.scale_log);
    if (pos == kNone && scale == kNone) return Ok{};
    // Both planes hold three components per splat and frame; the earlier splat wins.
    const bool is_pos = pos / 3 <= scale / 3;
    const uint64_t cell = (is_pos ? pos : scale) / 3;
    const uint64_t k = cell / frames.n;
    const uint64_t i = cell % frames.n;
    if (is_pos)
        return Error::make("{}: splat {} has a position that cannot be held within the bounds ({})",
                           frame_name(frames, k), i, frames.pos[pos]);
    // The plane holds ln(scale); the message shows the scale as the frame file gave it.
    return Error::make("{}: splat {} has a scale that cannot be held within the bounds ({})",
                       frame_name(frames, k), i, std::exp(frames.scale_log[scale]));
}

}  // namespace quorvex
