// Bounded hold coding of the float attributes and the dynamic index lists.

#include "encode/hold.hpp"

#include <algorithm>
#include <cmath>

namespace quorvex {

std::vector<uint32_t> dyn_indices(std::span<const uint8_t> mask) {
    std::vector<uint32_t> out(static_cast<size_t>(std::count(mask.begin(), mask.end(), uint8_t{0})));
    size_t o = 0;
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] == 0) out[o++] = static_cast<uint32_t>(i);
    return out;
}

std::vector<int32_t> hold_f(std::span<const float> values, uint64_t t, uint64_t n,
                            std::span<const uint32_t> dyn, double step, double bound) {
    constexpr size_t m = 3;
    const size_t d = dyn.size();
    std::vector<int32_t> held(static_cast<size_t>(t) * d * m);
    if (d == 0 || t == 0) return held;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, d), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t j = r.begin(); j < r.end(); ++j) {
            const float* v = values.data() + size_t{dyn[j]} * m;
            for (size_t k = 0; k < m; ++k) held[j * m + k] = quantize_f(v[k], step);
        }
    });
    // Frame f reads only frame f − 1 of the table, complete before the frame starts.
    for (uint64_t f = 1; f < t; ++f) {
        int32_t* cur = held.data() + f * d * m;
        const int32_t* prev = cur - d * m;
        const float* frame = values.data() + f * n * m;
        tbb::parallel_for(tbb::blocked_range<size_t>(0, d), [&](const tbb::blocked_range<size_t>& r) {
            for (size_t j = r.begin(); j < r.end(); ++j) {
                const float* v = frame + size_t{dyn[j]} * m;
                const int32_t* p = prev + j * m;
                bool refresh = false;
                for (size_t k = 0; k < m; ++k) {
                    // Measured against the held reconstruction, not the previous value, so
                    // slow drift cannot accumulate. A NaN error compares false and holds.
                    const double err =
                        std::fabs(static_cast<double>(v[k]) - static_cast<double>(p[k]) * step);
                    if (err > bound) {
                        refresh = true;
                        break;
                    }
                }
                int32_t* c = cur + j * m;
                for (size_t k = 0; k < m; ++k) c[k] = refresh ? quantize_f(v[k], step) : p[k];
            }
        });
    }
    return held;
}

}  // namespace quorvex
