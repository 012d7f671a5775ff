#pragma once
// The streams the encoder stores: ten static streams (masks and base values) and, per GOP
// and dynamic attribute, a key stream (zigzagged indices at f0) and a delta stream
// (zigzagged frame-to-frame differences of frames f0+1..f1).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "encode/front_end.hpp"
#include "streams/stream.hpp"

namespace quorvex {

// ⌈n/8⌉ values; splat i is bit 7 − (i mod 8) of value ⌊i/8⌋, set when mask[i] ≠ 0.
std::vector<uint32_t> bitmap(std::span<const uint8_t> mask);
// 3⌊L/3⌋ values: the first triple zigzagged as is, every later value the zigzag of the
// wrapping difference to the same component of the previous triple.
std::vector<uint32_t> spatial_delta(std::span<const int32_t> a);

struct NamedStream {
    std::string name;
    RawStream stream;
};

// The ten static streams in catalogue order: mask_pos, mask_rot, mask_rgb, mask_alpha,
// mask_scale, base_pos, base_scale, base_rgb, base_alpha, base_rot (the last offset by +128).
std::vector<NamedStream> static_streams(const FrontEnd& fe);

struct GopValues {
    std::vector<uint32_t> key;    // D × m values of frame f0
    std::vector<uint32_t> delta;  // (f1 − f0) × D × m values, empty when f1 == f0
};

// Key and delta values of one attribute for the GOP f0..f1, sliced from its held table.
GopValues gop_values(std::span<const int32_t> held, size_t d, size_t m, uint64_t f0, uint64_t f1);

// Stored values of one frame's held row (count entries): the key values zigzag(cur) at a GOP's
// first frame, otherwise the delta values zigzag(cur − prev) with a wrapping subtraction, prev
// being the row of the frame before. A table of t such rows holds every GOP stream of the
// attribute contiguously: GOP f0..f1 has its key in row f0 and its delta in rows f0 + 1 … f1.
void stream_row(bool key, const int32_t* cur, const int32_t* prev, size_t count, uint32_t* out);
// The delta values of one row as stream_row makes them, of which only the low byte is written to
// out. Returns the OR of the full values: when it is below 256, out holds the row's values as a
// width-1 plane.
uint32_t delta_row_bytes(const int32_t* cur, const int32_t* prev, size_t count, uint8_t* out);

}  // namespace quorvex
