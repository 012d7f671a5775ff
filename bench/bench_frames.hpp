#pragma once
// Synthetic sequences for the kernels, built in memory: a deterministic mix of static splats
// and splats that drift with per-frame jitter, colour flicker, slow scale growth and turning
// quaternions, hemisphere-aligned like a loaded sequence.

#include <cstdint>
#include <functional>

#include "encode/header.hpp"
#include "model/frames.hpp"

namespace quorvex::bench {

inline constexpr uint64_t kSplats = 100'000;
inline constexpr uint64_t kFrames = 30;

// t frames of n splats; about `static_fraction` of the splats never change.
Frames make_frames(uint64_t n, uint64_t t, double static_fraction = 0.5, uint64_t seed = 1);

// The default bounds of the command line: 2 mm, 2 %, 4 levels, lossless rotation.
Bounds default_bounds();

// Runs f on a pool of `threads` workers (also what the codec reports as its thread count).
void with_threads(int threads, const std::function<void()>& f);

}  // namespace quorvex::bench
