#include <cmath>
#include <cstdint>

#include "encode/header.hpp"

namespace quorvex {

namespace {

// 2·bound + 1 for an integer bound. Evaluated in 64 bits so that no bound overflows; the
// narrowing to 32 bits then wraps modulo 2^32 (bounds beyond ±2^30 give a wrapped step).
// The result is odd whatever the bound, so an integer step is never zero.
int32_t odd_step(int32_t bound) { return static_cast<int32_t>(int64_t{2} * bound + 1); }

}  // namespace

Steps steps_from(const Bounds& b) {
    Steps s;
    s.pos = 2.0 * b.pos_m;
    s.base_pos = b.pos_m;
    const double l = std::log(1.0 + b.scale_rel);
    s.scale_log = 2.0 * l;
    s.base_scale_log = l;
    s.rgb = odd_step(b.rgb);
    s.alpha = odd_step(b.alpha);
    s.rot = odd_step(b.rot);
    return s;
}

}  // namespace quorvex
