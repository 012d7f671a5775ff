#pragma once
// Input the bounds cannot hold. The hold coder stores every dynamic position and log-scale
// component as a signed 32-bit multiple of its step; a component that is infinite, or so
// large that its index would saturate, can never be reconstructed within the bound. Such
// input is refused before encoding instead of failing verification afterwards.

#include "encode/header.hpp"
#include "model/frames.hpp"
#include "support/error.hpp"

namespace quorvex {

// Largest |x / step| a component may reach: 2^31 − 1 less a margin, so the index rounded
// half away from zero always fits in int32 without saturating.
inline constexpr double kMaxHoldIndex = 2147483647.0 - 256.0;

// True when x can be held on a grid of `step`: NaN (the verifier's maximum ignores it) or a
// finite value with |x / step| below kMaxHoldIndex.
bool holdable(float x, double step);

// Checks every position and log-scale component of every frame against the hold steps of
// `bounds` (positions 2 × pos_m, log scales 2 × ln(1 + scale_rel)). Reports the first
// failure in frame order, then splat order, position before scale:
// "{file}: splat {i} has a {position|scale} that cannot be held within the bounds ({value})",
// where file is frames.files[k] (or "frame {k}" when frames carries no file names), i is the
// splat's index in `frames` and value is the offending position component or linear scale.
Status check_holdable(const Frames& frames, const Bounds& bounds);

}  // namespace quorvex
