#pragma once
// Synthetic sequences for the kernels, built in memory: a deterministic mix of static splats
// and splats that drift with per-frame jitter, colour flicker, slow scale growth and turning
// quaternions, hemisphere-aligned like a loaded sequence.

#include <cstdint>

#include "encode/header.hpp"
#include "model/frames.hpp"
#include "support/parallel.hpp"

namespace quorvex::bench {

inline constexpr uint64_t kSplats = 100'000;
inline constexpr uint64_t kFrames = 30;

// t frames of n splats; about `static_fraction` of the splats never change.
Frames make_frames(uint64_t n, uint64_t t, double static_fraction = 0.5, uint64_t seed = 1);

// Runs f on a pool of `threads` workers (also what the codec reports as its thread count).
using quorvex::with_threads;

}  // namespace quorvex::bench
