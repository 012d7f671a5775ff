#pragma once
// Exhaustive verification: decode every frame and compare every component of every splat
// with a reference sequence in file order.

#include <cstdint>

#include "decode/decoder.hpp"
#include "model/frames.hpp"
#include "support/error.hpp"

namespace quorvex {

struct VerifyReport {
    double pos_err = 0.0;    // metres
    double scale_err = 0.0;  // natural-log units
    int32_t rgb_err = 0;     // levels
    int32_t alpha_err = 0;   // levels
    int32_t rot_err = 0;     // units of 1/128
    bool ok = false;         // every maximum within the header's bounds
};

// Walks the GOPs in header order and their frames in order, carrying the attribute states,
// and measures the largest error per attribute. A violation is a normal result (ok false);
// errors are structural: mismatched reference, unreadable or inconsistent GOPs, frames no GOP
// covers.
Result<VerifyReport> verify(const Decoder& dec, const Frames& reference);

}  // namespace quorvex
