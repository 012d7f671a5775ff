#pragma once
// In-memory Frames for encoder tests: element accessors by (frame, splat), random frames and
// a thread-count pin.

#include <cstdint>
#include <limits>

#include "model/frames.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"  // SplitMix64

namespace quorvex::test {

// Pointers to the components of splat i in frame k.
inline float* pos_at(Frames& f, uint64_t k, uint64_t i) { return f.pos.data() + (k * f.n + i) * 3; }
inline float* scale_at(Frames& f, uint64_t k, uint64_t i) { return f.scale_log.data() + (k * f.n + i) * 3; }
inline uint8_t* rgb_at(Frames& f, uint64_t k, uint64_t i) { return f.rgb.data() + (k * f.n + i) * 3; }
inline uint8_t* alpha_at(Frames& f, uint64_t k, uint64_t i) { return f.alpha.data() + k * f.n + i; }
inline int16_t* rot_at(Frames& f, uint64_t k, uint64_t i) { return f.rot.data() + (k * f.n + i) * 4; }

using quorvex::with_threads;

}  // namespace quorvex::test

namespace quorvex::test {

// t frames of n splats in which each attribute of each splat is, at random, constant or
// jumping widely. Frame-0 positions sit on a 4 × 4 × 4 lattice of spacing 1 (many equal
// sort keys at a cell size of 1); about one position in fifty is NaN.
inline Frames random_frames(uint64_t t, uint64_t n, uint64_t seed) {
    Frames f = zeroed_frames(t, n);
    SplitMix64 rng{seed};
    for (uint64_t i = 0; i < n; ++i) {
        bool moves[5];
        for (bool& m : moves) m = rng.below(2) == 1;
        float p0[3], s0[3];
        uint8_t c0[3], a0 = static_cast<uint8_t>(rng.below(256));
        int16_t r0[4];
        for (int j = 0; j < 3; ++j) {
            p0[j] = static_cast<float>(rng.below(4));
            s0[j] = static_cast<float>(rng.uniform(-4.0, 0.0));
            c0[j] = static_cast<uint8_t>(rng.below(256));
        }
        for (int16_t& r : r0) r = static_cast<int16_t>(static_cast<int>(rng.below(256)) - 128);
        for (uint64_t k = 0; k < t; ++k) {
            const bool later = k > 0;
            for (int j = 0; j < 3; ++j) {
                pos_at(f, k, i)[j] =
                    later && moves[0] ? p0[j] + static_cast<float>(rng.uniform(-1.5, 1.5)) : p0[j];
                if (rng.below(50) == 0) pos_at(f, k, i)[j] = std::numeric_limits<float>::quiet_NaN();
                scale_at(f, k, i)[j] = later && moves[4] ? static_cast<float>(rng.uniform(-4.0, 0.0)) : s0[j];
                rgb_at(f, k, i)[j] = later && moves[2] ? static_cast<uint8_t>(rng.below(256)) : c0[j];
            }
            alpha_at(f, k, i)[0] = later && moves[3] ? static_cast<uint8_t>(rng.below(256)) : a0;
            for (int j = 0; j < 4; ++j)
                rot_at(f, k, i)[j] =
                    later && moves[1] ? static_cast<int16_t>(static_cast<int>(rng.below(256)) - 128) : r0[j];
        }
    }
    return f;
}

}  // namespace quorvex::test
