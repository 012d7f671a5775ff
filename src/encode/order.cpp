// Splat order: sort keys, the permutation, the groups of equal dynamic pattern and the
// reordering of the frames and the classification into file order.

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "encode/front_end.hpp"
#include "support/big_alloc.hpp"

namespace quorvex {

namespace {

constexpr uint64_t kCellCap = (uint64_t{1} << 21) - 1;
constexpr int kPatternShift = 58;

// Cell number of one axis: ⌊(p − lo) / cell⌋ in double, converted to u64 with saturation
// (NaN and negatives give 0), then capped at 2^21 − 1.
uint64_t axis_cell(float p, float lo, double cell) {
    const double q = std::floor((static_cast<double>(p) - static_cast<double>(lo)) / cell);
    uint64_t u;
    if (!(q > 0.0)) {
        u = 0;  // NaN, zero or negative
    } else if (q >= 18446744073709551616.0) {
        u = std::numeric_limits<uint64_t>::max();
    } else {
        u = static_cast<uint64_t>(q);
    }
    return std::min(u, kCellCap);
}

// Spreads the low 21 bits of v to every third bit (bit b to bit 3b).
uint64_t spread3(uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffffull;
    v = (v | v << 16) & 0x1f0000ff0000ffull;
    v = (v | v << 8) & 0x100f00f00f00f00full;
    v = (v | v << 4) & 0x10c30c30c30c30c3ull;
    v = (v | v << 2) & 0x1249249249249249ull;
    return v;
}

// Copies row perm[j] of src to row j of dst, C elements per row, converting each element to
// the destination type. The rows are read in no useful order, so each is requested a few
// dozen rows ahead to keep many reads in flight.
template <size_t C, class Out, class In>
void gather_rows(const In* src, std::span<const uint32_t> perm, Out* dst) {
    constexpr size_t kAhead = 128;
    const size_t count = perm.size();
    for (size_t j = 0; j < count; ++j) {
        if (j + kAhead < count) __builtin_prefetch(src + size_t{perm[j + kAhead]} * C);
        const In* s = src + size_t{perm[j]} * C;
        for (size_t m = 0; m < C; ++m) dst[j * C + m] = static_cast<Out>(s[m]);
    }
}

template <class Out, class In>
void gather_rows(const In* src, std::span<const uint32_t> perm, size_t c, Out* dst) {
    switch (c) {
        case 1:
            return gather_rows<1>(src, perm, dst);
        case 3:
            return gather_rows<3>(src, perm, dst);
        case 4:
            return gather_rows<4>(src, perm, dst);
        default:
            for (size_t j = 0; j < perm.size(); ++j)
                for (size_t m = 0; m < c; ++m)
                    dst[j * c + m] = static_cast<Out>(src[size_t{perm[j]} * c + m]);
    }
}

// A per-splat array in file order, narrowed to Out; runs of rows are gathered in parallel.
template <class Out, class In>
std::vector<Out> gather(const std::vector<In>& src, std::span<const uint32_t> perm, size_t c) {
    std::vector<Out> out;
    assign_zeroed(out, perm.size() * c);
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, perm.size(), 16384), [&](const tbb::blocked_range<size_t>& r) {
            gather_rows(src.data(), perm.subspan(r.begin(), r.size()), c, out.data() + r.begin() * c);
        });
    return out;
}

}  // namespace

uint8_t pattern_of(const Classification& cls, size_t i) {
    const int s = cls.mask_pos[i] | cls.mask_rot[i] << 1 | cls.mask_rgb[i] << 2 | cls.mask_alpha[i] << 3 |
                  cls.mask_scale[i] << 4;
    return static_cast<uint8_t>(s ^ 31);
}

uint64_t sort_key(uint8_t pattern, const float* pos0, const std::array<float, 6>& aabb, double cell) {
    // Bits 58..62 pattern; below it x bit b at 3b (20 bits), y at 3b + 1 and z at 3b + 2
    // (19 bits each). Higher cell bits are dropped, so bit 63 stays clear.
    const uint64_t x = axis_cell(pos0[0], aabb[0], cell);
    const uint64_t y = axis_cell(pos0[1], aabb[1], cell);
    const uint64_t z = axis_cell(pos0[2], aabb[2], cell);
    const uint64_t morton = spread3(x & 0xfffff) | spread3(y & 0x7ffff) << 1 | spread3(z & 0x7ffff) << 2;
    return (uint64_t{pattern} & 31u) << kPatternShift | morton;
}

std::vector<uint32_t> sort_permutation(std::span<const uint64_t> keys) {
    // The sort is unstable and splits work by thread count; sorting (key, index) pairs makes
    // the order total, so the result is the stable order whatever the scheduling. The pairs
    // sit side by side, so comparisons touch no other array.
    std::vector<std::pair<uint64_t, uint32_t>> pairs(keys.size());
    tbb::parallel_for(tbb::blocked_range<size_t>(0, keys.size()), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t i = r.begin(); i < r.end(); ++i) pairs[i] = {keys[i], static_cast<uint32_t>(i)};
    });
    tbb::parallel_sort(pairs.begin(), pairs.end());
    std::vector<uint32_t> perm(keys.size());
    tbb::parallel_for(tbb::blocked_range<size_t>(0, pairs.size()), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t i = r.begin(); i < r.end(); ++i) perm[i] = pairs[i].second;
    });
    return perm;
}

template <class T>
void permute(std::vector<T>& plane, uint64_t n, size_t c, std::span<const uint32_t> perm) {
    const size_t block = static_cast<size_t>(n) * c;
    if (block == 0) return;
    const size_t t = plane.size() / block;
    // One frame block per task, gathered into the worker's scratch block and copied back: the
    // extra memory is one frame per worker instead of a second plane.
    tbb::enumerable_thread_specific<std::vector<T>> scratch;
    tbb::parallel_for(size_t{0}, t, [&](size_t k) {
        std::vector<T>& tmp = scratch.local();
        if (tmp.size() < block) tmp.resize(block);
        T* frame = plane.data() + k * block;
        gather_rows(frame, perm, c, tmp.data());
        std::copy_n(tmp.data(), block, frame);
    });
}

template void permute<float>(std::vector<float>&, uint64_t, size_t, std::span<const uint32_t>);
template void permute<uint8_t>(std::vector<uint8_t>&, uint64_t, size_t, std::span<const uint32_t>);
template void permute<int16_t>(std::vector<int16_t>&, uint64_t, size_t, std::span<const uint32_t>);

FrontEnd order_splats(Frames& frames, const Classification& cls, double cell) {
    const size_t n = frames.n;
    std::vector<uint64_t> keys(n);
    // Without any frame there is no position; NaN puts every splat in cell 0.
    static constexpr float kNoPos[3] = {std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::quiet_NaN()};
    const bool has_frame = frames.t > 0;
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t i = r.begin(); i < r.end(); ++i) {
            const float* pos0 = has_frame ? frames.pos.data() + i * 3 : kNoPos;
            keys[i] = sort_key(pattern_of(cls, i), pos0, cls.aabb, cell);
        }
    });

    FrontEnd fe;
    fe.perm = sort_permutation(keys);

    // The pattern occupies the top of the key, so each pattern is one run, ascending.
    fe.groups.reserve(32);
    for (const uint32_t p : fe.perm) {
        const auto mask = static_cast<uint8_t>(keys[p] >> kPatternShift);
        if (!fe.groups.empty() && fe.groups.back().mask == mask)
            ++fe.groups.back().count;
        else
            fe.groups.push_back(Group{mask, 1});
    }

    permute(frames.pos, frames.n, 3, fe.perm);
    permute(frames.scale_log, frames.n, 3, fe.perm);
    permute(frames.rgb, frames.n, 3, fe.perm);
    permute(frames.alpha, frames.n, 1, fe.perm);
    permute(frames.rot, frames.n, 4, fe.perm);

    // Base values of the integer attributes are frame values or the floor of the average
    // of two of them, so they fit the plane's own element type.
    fe.mask_pos = gather<uint8_t>(cls.mask_pos, fe.perm, 1);
    fe.mask_rot = gather<uint8_t>(cls.mask_rot, fe.perm, 1);
    fe.mask_rgb = gather<uint8_t>(cls.mask_rgb, fe.perm, 1);
    fe.mask_alpha = gather<uint8_t>(cls.mask_alpha, fe.perm, 1);
    fe.mask_scale = gather<uint8_t>(cls.mask_scale, fe.perm, 1);
    fe.base_pos = gather<int32_t>(cls.base_pos, fe.perm, 3);
    fe.base_scale = gather<int32_t>(cls.base_scale, fe.perm, 3);
    fe.base_rgb = gather<uint8_t>(cls.base_rgb, fe.perm, 3);
    fe.base_alpha = gather<uint8_t>(cls.base_alpha, fe.perm, 1);
    fe.base_rot = gather<int16_t>(cls.base_rot, fe.perm, 4);
    fe.aabb = cls.aabb;
    return fe;
}

}  // namespace quorvex
