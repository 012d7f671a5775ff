// Temporal median-of-five filter on the colour plane, with deviation statistics.

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "model/frames.hpp"

namespace quorvex {

namespace {

// Third smallest of five: the first three samples are sorted, then each further sample
// is inserted into that sorted run, which keeps only the three smallest.
inline uint8_t median5(uint8_t s0, uint8_t s1, uint8_t s2, uint8_t s3, uint8_t s4) {
    uint8_t a = s0, b = s1, c = s2;
    if (b < a) std::swap(a, b);
    if (c < b) {
        std::swap(b, c);
        if (b < a) std::swap(a, b);
    }
    for (uint8_t x : {s3, s4}) {
        if (x >= c) continue;
        c = x;
        if (c < b) {
            std::swap(b, c);
            if (b < a) std::swap(a, b);
        }
    }
    return c;
}

}  // namespace

DenoiseStats Frames::denoise_colors() {
    DenoiseStats stats;
    if (t == 0 || n == 0 || rgb.empty()) return stats;
    const std::vector<uint8_t> old = rgb;
    const uint64_t m = 3 * n;  // colour components per frame
    const uint64_t last = t - 1;
    // The window repeats the first or last frame at the ends of the sequence.
    auto frame_at = [last](uint64_t k, int d) -> uint64_t {
        const int64_t f = static_cast<int64_t>(k) + d;
        if (f < 0) return 0;
        return std::min(static_cast<uint64_t>(f), last);
    };

    // Every sample comes from the unfiltered copy, so each element is independent.
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, old.size()),
                      [&](const tbb::blocked_range<uint64_t>& r) {
                          for (uint64_t e = r.begin(); e != r.end(); ++e) {
                              const uint64_t k = e / m;
                              const uint64_t rest = e % m;
                              std::array<uint8_t, 5> s;
                              for (int d = -2; d <= 2; ++d)
                                  s[static_cast<size_t>(d + 2)] = old[rest + frame_at(k, d) * m];
                              rgb[e] = median5(s[0], s[1], s[2], s[3], s[4]);
                          }
                      });

    std::array<uint64_t, 256> histogram{};
    uint64_t sum = 0;
    for (uint64_t e = 0; e < old.size(); ++e) {
        const int diff = int{rgb[e]} - int{old[e]};
        const unsigned dev = static_cast<unsigned>(diff < 0 ? -diff : diff);
        sum += dev;
        ++histogram[dev];
    }
    uint64_t total = 0;
    for (uint64_t c : histogram) total += c;
    // Integer sums stay exact far beyond any plane size, so converting at the end gives
    // the same value as a running double sum.
    stats.mean_dev = static_cast<double>(sum) / static_cast<double>(total);
    const double target = 0.99 * static_cast<double>(total);
    uint64_t cumulative = 0;
    for (size_t j = 0; j < histogram.size(); ++j) {
        cumulative += histogram[j];
        if (static_cast<double>(cumulative) >= target) {
            stats.p99_dev = static_cast<double>(j);
            break;
        }
    }
    return stats;
}

}  // namespace quorvex
