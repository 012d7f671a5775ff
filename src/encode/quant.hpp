#pragma once
// The arithmetic that decides whether a value is within its bound. The hold coder, the
// frame reconstruction and the verifier all use these functions, never a second copy.

#include <cmath>
#include <cstdint>

namespace quorvex {

// Saturating conversion of a double to int32, truncating toward zero: NaN → 0.
inline int32_t saturate_i32(double v) {
    if (std::isnan(v)) return 0;
    if (v <= -2147483648.0) return INT32_MIN;
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(v);
}

// Round to nearest, halves away from zero, saturating to int32 (front-end base grid).
inline int32_t round_half_away_sat(double v) { return saturate_i32(std::round(v)); }

// Float quantiser of the hold: x / step rounded half away from zero by adding
// 0.49999999999999994 with the quotient's sign and truncating, saturated to int32.
inline int32_t quantize_f(float x, double step) {
    const double q = static_cast<double>(x) / step;
    const double r = q < 0 ? q - 0.49999999999999994 : q + 0.49999999999999994;
    // trunc(r) saturated: r lies beyond the int32 range exactly when trunc(r) does, and the
    // conversion of r itself truncates toward zero, so no separate trunc is needed.
    return saturate_i32(r);
}

// Floor (Euclidean for positive steps) division in int32.
inline int32_t floor_div(int32_t a, int32_t b) {
    int32_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Integer quantiser of the hold: floor((v + ⌊step / 2⌋) / step). With step = 2·bound + 1 the
// reconstruction index·step is the multiple of step nearest to v. The half step is a floor
// (arithmetic shift), not C++'s truncating division, which differs for a negative step.
inline int32_t quantize_i(int32_t v, int32_t step) {
    // Step 1 (a bound of 0) is the identity; it skips a division that is slow for its result.
    if (step == 1) return v;
    return floor_div(v + (step >> 1), step);
}

inline uint32_t zigzag(int32_t v) { return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31); }
inline int32_t unzigzag(uint32_t u) { return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1u))); }

}  // namespace quorvex
