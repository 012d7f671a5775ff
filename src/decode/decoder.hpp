#pragma once
// Reading a container: the opened Decoder with its parsed header and decoded static section,
// GOP sections read on demand, the attribute state rules and whole-frame reconstruction.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "encode/header.hpp"
#include "model/attribute.hpp"
#include "support/error.hpp"

namespace quorvex {

// The decoded static section, splats in file order.
struct StaticState {
    std::array<std::vector<uint8_t>, kAttrCount> masks;  // pos, rot, rgb, alpha, scale; 1 = static
    std::vector<int32_t> base_pos;    // 3n, × steps.base_pos
    std::vector<int32_t> base_scale;  // 3n, × steps.base_scale_log
    std::vector<uint8_t> base_rgb;    // 3n
    std::vector<uint8_t> base_alpha;  // n
    std::vector<int16_t> base_rot;    // 4n
};

// One unpacked stream of a GOP section.
struct GopStream {
    uint8_t attr = 0;
    uint8_t kind = 0;
    std::vector<uint32_t> values;
};

// One stream of a GOP section, decompressed but left in its byte planes.
struct GopPlanes {
    uint8_t attr = 0;
    uint8_t kind = 0;
    uint8_t width = 1;
    uint32_t count = 0;
    const uint8_t* bytes = nullptr;  // width × count: plane p holds bits 8p … 8p + 7 of every value
};

// The streams of one GOP section in byte planes, all inside one buffer that the next GOP read
// into the same set reuses when it is large enough.
struct GopPlaneSet {
    std::vector<GopPlanes> streams;
    std::unique_ptr<uint8_t[]> buffer;
    size_t capacity = 0;
};

struct Decoder {
    Header header;
    std::vector<uint8_t> bytes;  // the whole file
    StaticState static_state;

    // Reads the file and validates preamble, header and static section. GOP sections are
    // checked when read.
    static Result<Decoder> open(const std::filesystem::path& path);
    // The same from bytes already in memory.
    static Result<Decoder> from_bytes(std::vector<uint8_t> bytes);

    // Unpacks every stream of GOP g, in the order of the section's record headers.
    Result<std::vector<GopStream>> gop_streams(uint64_t g) const;
    // The same streams left in byte planes (a quarter of the memory of the values at width 1),
    // read into set. The payloads are decompressed in parallel. On failure set.streams is empty.
    Status gop_planes(uint64_t g, GopPlaneSet& set) const;
};

// n flags; flag i is bit 7 − (i mod 8) of the low byte of values[i / 8]. The caller ensures
// values holds at least ⌈n/8⌉ entries.
std::vector<uint8_t> unbitmap(std::span<const uint32_t> values, uint64_t n);
// Inverse of the spatial delta: running wrapping sums per component of complete triples;
// the trailing L mod 3 entries stay 0.
std::vector<int32_t> un_spatial_delta(std::span<const uint32_t> values);

// Entries e0 … e1 − 1 of an attribute state of row_len entries brought forward by one stream
// in byte planes: set to the key's absolute indices (key true), or row `row` of a delta stream
// (the differences to the previous frame) added with wrapping. The caller has checked that
// the stream holds the entries read.
void apply_range(const GopPlanes& s, bool key, uint64_t row, size_t row_len, size_t e0, size_t e1,
                 int32_t* state);
// Sets the state to the key's absolute indices (the GOP's first frame); a key shorter than the
// state leaves the rest unchanged.
void apply_key(std::span<int32_t> state, const GopPlanes& key);
// Adds row `row` of a delta stream to the state. The caller ensures the stream holds at least
// (row + 1) × state.size() values.
void apply_delta(std::span<int32_t> state, const GopPlanes& delta, uint64_t row);

// First stream with the given attr and kind, or nullptr.
template <class Stream>
const Stream* find_stream(const std::vector<Stream>& streams, uint8_t attr, uint8_t kind) {
    for (const Stream& s : streams)
        if (s.attr == attr && s.kind == kind) return &s;
    return nullptr;
}

// Checks that a GOP's key stream holds exactly D × m values (rows = 1) and its delta stream,
// when the GOP has more than one frame, exactly (f1 − f0) × D × m (rows = f1 − f0).
Status check_stream_length(const GopPlanes& s, uint64_t rows, uint64_t d, size_t m, uint64_t g);

// Frame `frame` as n .splat records in file order.
Result<std::vector<uint8_t>> reconstruct_frame(const Decoder& dec, uint64_t frame);

}  // namespace quorvex
