// Static streams and the per-GOP key and delta values.

#include "encode/catalogue.hpp"

#include <tbb/parallel_for.h>

#include <cassert>

#include "encode/quant.hpp"
#include "model/attribute.hpp"

namespace quorvex {

namespace {

// Wrapping 32-bit difference a − b.
int32_t wrapping_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

template <class T>
std::vector<uint32_t> widen(const std::vector<T>& src) {
    return std::vector<uint32_t>(src.begin(), src.end());
}

NamedStream named(const char* name, Attr attr, std::vector<uint32_t> values) {
    return NamedStream{name, RawStream{std::move(values), attr, kKindStatic}};
}

}  // namespace

std::vector<uint32_t> bitmap(std::span<const uint8_t> mask) {
    std::vector<uint32_t> out((mask.size() + 7) / 8);
    // The first splat of each group of eight is the most significant bit.
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] != 0) out[i / 8] |= 1u << (7 - i % 8);
    return out;
}

std::vector<uint32_t> spatial_delta(std::span<const int32_t> a) {
    const size_t len = a.size() / 3 * 3;
    std::vector<uint32_t> out(len);
    for (size_t i = 0; i < len; ++i) out[i] = zigzag(i < 3 ? a[i] : wrapping_sub(a[i], a[i - 3]));
    return out;
}

std::vector<NamedStream> static_streams(const FrontEnd& fe) {
    using Build = NamedStream (*)(const FrontEnd&);
    static constexpr Build kBuild[] = {
        [](const FrontEnd& f) { return named("mask_pos", kAttrPos, bitmap(f.mask_pos)); },
        [](const FrontEnd& f) { return named("mask_rot", kAttrRot, bitmap(f.mask_rot)); },
        [](const FrontEnd& f) { return named("mask_rgb", kAttrRgb, bitmap(f.mask_rgb)); },
        [](const FrontEnd& f) { return named("mask_alpha", kAttrAlpha, bitmap(f.mask_alpha)); },
        [](const FrontEnd& f) { return named("mask_scale", kAttrScale, bitmap(f.mask_scale)); },
        [](const FrontEnd& f) { return named("base_pos", kAttrPos, spatial_delta(f.base_pos)); },
        [](const FrontEnd& f) { return named("base_scale", kAttrScale, spatial_delta(f.base_scale)); },
        [](const FrontEnd& f) { return named("base_rgb", kAttrRgb, widen(f.base_rgb)); },
        [](const FrontEnd& f) { return named("base_alpha", kAttrAlpha, widen(f.base_alpha)); },
        [](const FrontEnd& f) {
            // Rotation components −128 … 127 are stored as 0 … 255.
            std::vector<uint32_t> rot(f.base_rot.size());
            for (size_t k = 0; k < rot.size(); ++k)
                rot[k] = static_cast<uint32_t>(int32_t{f.base_rot[k]} + 128);
            return named("base_rot", kAttrRot, std::move(rot));
        },
    };
    // The ten streams are independent; each task builds its own.
    std::vector<NamedStream> out(std::size(kBuild));
    tbb::parallel_for(size_t{0}, out.size(), [&](size_t i) { out[i] = kBuild[i](fe); });
    return out;
}

void stream_row(bool key, const int32_t* cur, const int32_t* prev, size_t count, uint32_t* out) {
    if (key) {
        for (size_t i = 0; i < count; ++i) out[i] = zigzag(cur[i]);
    } else {
        for (size_t i = 0; i < count; ++i) out[i] = zigzag(wrapping_sub(cur[i], prev[i]));
    }
}

uint32_t delta_row_bytes(const int32_t* cur, const int32_t* prev, size_t count, uint8_t* out) {
    uint32_t any = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t v = zigzag(wrapping_sub(cur[i], prev[i]));
        out[i] = static_cast<uint8_t>(v);
        any |= v;
    }
    return any;
}

GopValues gop_values(std::span<const int32_t> held, size_t d, size_t m, uint64_t f0, uint64_t f1) {
    const size_t v = d * m;  // values per frame
    const size_t frames = f1 > f0 ? static_cast<size_t>(f1 - f0) : 0;
    assert(held.size() >= (static_cast<size_t>(f0) + frames + 1) * v);
    GopValues g;
    g.key.resize(v);
    g.delta.resize(frames * v);
    // The key is the index held at f0, carried over from earlier GOPs, not re-quantised.
    const int32_t* key = held.data() + static_cast<size_t>(f0) * v;
    stream_row(true, key, nullptr, v, g.key.data());
    // Frames f0 + 1 … f1 follow the key contiguously; each value is the change from the
    // entry one frame earlier.
    stream_row(false, key + v, key, frames * v, g.delta.data());
    return g;
}

}  // namespace quorvex
