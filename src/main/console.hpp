#pragma once
// Small helpers shared by the commands' console output.

#include <chrono>
#include <cstdint>

namespace quorvex {

using Clock = std::chrono::steady_clock;

// Seconds since `start` on the monotonic clock; a negative interval counts as zero.
inline double seconds_since(Clock::time_point start) {
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    return s < 0 ? 0.0 : s;
}

// Truncates toward zero and saturates: negative or NaN → 0, beyond u64 → the u64 maximum.
inline uint64_t saturate_u64(double v) {
    if (!(v > 0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

}  // namespace quorvex
