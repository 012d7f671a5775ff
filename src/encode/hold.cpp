// Bounded hold coding of the float attributes and the dynamic index lists.

#include "encode/hold.hpp"

#include <algorithm>

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
    std::vector<int32_t> held;
    assign_zeroed(held, static_cast<size_t>(t) * dyn.size() * 3);
    hold_f_rows(values, n, dyn, step, bound, 0, t, nullptr,
                hold_detail::TableSink{held.data(), dyn.size(), 3});
    return held;
}

}  // namespace quorvex
