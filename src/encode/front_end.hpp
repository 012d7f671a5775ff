#pragma once
// The first stage of the encoder: steps from bounds, per-element temporal ranges,
// static/dynamic classification with base values, the splat order (dynamic pattern, then
// Morton code of the frame-0 position) and the reordering of Frames into that file order.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "encode/header.hpp"
#include "model/frames.hpp"

namespace quorvex {

// All per-splat arrays are in file order: entry j describes the splat at container position j.
struct FrontEnd {
    std::vector<uint32_t> perm;  // perm[j] = input index of the splat at position j
    std::vector<Group> groups;   // runs of equal dynamic pattern, ascending pattern
    std::vector<uint8_t> mask_pos, mask_rot, mask_rgb, mask_alpha, mask_scale;  // 1 static, 0 dynamic
    std::vector<int32_t> base_pos;                                              // n × 3, grid steps.base_pos
    std::vector<int32_t> base_scale;  // n × 3, grid steps.base_scale_log
    std::vector<uint8_t> base_rgb;    // n × 3
    std::vector<uint8_t> base_alpha;  // n
    std::vector<int16_t> base_rot;    // n × 4
    std::array<float, 6> aabb{};      // min x, y, z, max x, y, z over all positions and frames
};

template <class T>
struct MinMax {
    std::vector<T> min;
    std::vector<T> max;
};

// Per-element minimum and maximum over t frame blocks of m elements each. NaN in a later
// frame never enters the range; a NaN in frame 0 stays in both.
MinMax<float> minmax_f32(std::span<const float> plane, uint64_t t, size_t m);
MinMax<uint8_t> minmax_u8(std::span<const uint8_t> plane, uint64_t t, size_t m);
MinMax<int16_t> minmax_i16(std::span<const int16_t> plane, uint64_t t, size_t m);

// Static/dynamic classification of every splat, in the input order of the frames.
struct Classification {
    std::vector<uint8_t> mask_pos, mask_rot, mask_rgb, mask_alpha, mask_scale;  // n each, 1 static
    std::vector<int32_t> base_pos;    // n × 3 indices on the grid steps.base_pos
    std::vector<int32_t> base_scale;  // n × 3 indices on the grid steps.base_scale_log
    std::vector<int32_t> base_rgb;    // n × 3 values, widened
    std::vector<int32_t> base_alpha;  // n values, widened
    std::vector<int32_t> base_rot;    // n × 4 values, widened
    std::array<float, 6> aabb{};      // NaN-free fold of the position ranges
};

// Temporal ranges, bounding box and per-splat static flags with base values of `frames`,
// in input order. Without any frame (t = 0) every splat is static on base 0.
Classification classify(const Frames& frames, const Bounds& bounds);

// Dynamic pattern of splat i: bit a set when attribute a (pos, rot, rgb, alpha, scale) is
// dynamic.
uint8_t pattern_of(const Classification& cls, size_t i);

// 64-bit sort key: dynamic pattern in bits 58..62, Morton code of the frame-0 position cell
// (x: 20 bits, y and z: 19 bits) below it.
uint64_t sort_key(uint8_t pattern, const float* pos0, const std::array<float, 6>& aabb, double cell);

// Reorders one plane in place: for every frame, splat j takes the c components of perm[j].
template <class T>
void permute(std::vector<T>& plane, uint64_t n, size_t c, std::span<const uint32_t> perm);

// Indices 0 … keys.size() − 1 sorted by key, equal keys by index: the same order for any
// thread count. keys.size() must be below 2^32.
std::vector<uint32_t> sort_permutation(std::span<const uint64_t> keys);

// Sorts the classified splats into file order (pattern, then Morton code of the frame-0
// position on cells of size `cell`), reorders `frames` in place and assembles FrontEnd.
FrontEnd order_splats(Frames& frames, const Classification& cls, double cell);

// Classifies, orders and reorders `frames` in place into file order.
FrontEnd front_end(Frames& frames, const Bounds& bounds);

}  // namespace quorvex
