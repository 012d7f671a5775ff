#include "bench/bench_frames.hpp"

#include <algorithm>
#include <cmath>

namespace quorvex::bench {

namespace {

uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Uniform in [0, 1) from a hash of (seed, a, b).
double unit(uint64_t seed, uint64_t a, uint64_t b) {
    return static_cast<double>(mix(mix(seed ^ mix(a)) ^ b) >> 11) * 0x1.0p-53;
}

}  // namespace

Frames make_frames(uint64_t n, uint64_t t, double static_fraction, uint64_t seed) {
    Frames f = zeroed_frames(t, n);
    for (uint64_t i = 0; i < n; ++i) {
        const bool moving = unit(seed, i, 0) >= static_fraction;
        double p[3], v[3], s[3];
        int c[3], q[4];
        for (int j = 0; j < 3; ++j) {
            p[j] = unit(seed, i, 1 + j) * 20.0 - 10.0;
            v[j] = moving ? (unit(seed, i, 4 + j) - 0.5) * 0.02 : 0.0;
            s[j] = std::log(0.001 + unit(seed, i, 7 + j) * 0.1);
            c[j] = static_cast<int>(unit(seed, i, 10 + j) * 255.0);
        }
        for (int j = 0; j < 4; ++j) q[j] = static_cast<int>(unit(seed, i, 13 + j) * 200.0) - 100;
        const int a = static_cast<int>(unit(seed, i, 17) * 255.0);
        for (uint64_t k = 0; k < t; ++k) {
            const uint64_t e = k * n + i;
            const double jit = moving ? 0.0004 : 0.0;
            for (int j = 0; j < 3; ++j) {
                const double noise = (unit(seed, e, 20 + j) - 0.5) * jit;
                f.pos[e * 3 + j] = static_cast<float>(p[j] + v[j] * static_cast<double>(k) + noise);
                f.scale_log[e * 3 + j] =
                    static_cast<float>(s[j] + (moving ? 0.002 * static_cast<double>(k) : 0.0));
                const int flicker = moving ? static_cast<int>(unit(seed, e, 23 + j) * 7.0) - 3 : 0;
                f.rgb[e * 3 + j] = static_cast<uint8_t>(std::clamp(c[j] + flicker, 0, 255));
            }
            f.alpha[e] = static_cast<uint8_t>(std::clamp(a + (moving ? static_cast<int>(k % 5) : 0), 0, 255));
            for (int j = 0; j < 4; ++j) {
                const int turn = moving ? static_cast<int>(k) * (j + 1) / 4 : 0;
                f.rot[e * 4 + j] = static_cast<int16_t>(std::clamp(q[j] + turn, -128, 127));
            }
        }
    }
    return f;
}

}  // namespace quorvex::bench
