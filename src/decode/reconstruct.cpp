#include <algorithm>
#include <cmath>

#include "decode/decoder.hpp"
#include "encode/hold.hpp"
#include "model/splat.hpp"
#include "support/bytes.hpp"

namespace quorvex {

namespace {

// Integer attribute value of index q: q × step, clamped to the component's range. The
// product is taken wide so a hostile index cannot overflow.
int32_t int_value(int32_t q, int32_t step, int32_t lo, int32_t hi) {
    int64_t v = int64_t{q} * step;
    return static_cast<int32_t>(std::clamp<int64_t>(v, lo, hi));
}

}  // namespace

Result<std::vector<uint8_t>> reconstruct_frame(const Decoder& dec, uint64_t frame) {
    const Header& h = dec.header;
    if (frame >= h.t) return Error::make("frame {} out of range 0..{}", frame, h.t);
    uint64_t g = 0;
    for (; g < h.gops.size(); ++g)
        if (h.gops[g].f0 <= frame && frame <= h.gops[g].f1) break;
    if (g == h.gops.size()) return Error::msg("no gop");
    const GopSpan& span = h.gops[g];
    GopPlaneSet set;
    QX_CHECK(dec.gop_planes(g, set));
    const std::vector<GopPlanes>& streams = set.streams;

    const StaticState& st = dec.static_state;
    std::array<std::vector<uint32_t>, kAttrCount> dyn;
    std::array<std::vector<int32_t>, kAttrCount> state;
    for (size_t a = 0; a < kAttrCount; ++a) {
        dyn[a] = dyn_indices(st.masks[a]);
        state[a].assign(dyn[a].size() * kAttrComponents[a], 0);
    }
    for (uint8_t a = 0; a < kAttrCount; ++a) {
        const uint64_t d = dyn[a].size();
        if (d == 0) continue;
        const GopPlanes* key = find_stream(streams, a, kKindKey);
        if (!key) return Error::msg("missing key");
        QX_CHECK(check_stream_length(*key, 1, d, kAttrComponents[a], g));
        apply_key(state[a], *key);
        if (frame > span.f0) {
            const GopPlanes* delta = find_stream(streams, a, kKindDelta);
            if (!delta) return Error::msg("missing delta");
            QX_CHECK(check_stream_length(*delta, span.f1 - span.f0, d, kAttrComponents[a], g));
            for (uint64_t row = 0; row < frame - span.f0; ++row) apply_delta(state[a], *delta, row);
        }
    }

    const uint64_t n = h.n;
    const Steps& s = h.steps;
    std::vector<float> pos(n * 3), scale_log(n * 3);
    std::vector<int32_t> rgb(n * 3), alpha(n), rot(n * 4);
    for (uint64_t i = 0; i < n * 3; ++i) {
        pos[i] = static_cast<float>(static_cast<double>(st.base_pos[i]) * s.base_pos);
        scale_log[i] = static_cast<float>(static_cast<double>(st.base_scale[i]) * s.base_scale_log);
        rgb[i] = st.base_rgb[i];
    }
    for (uint64_t i = 0; i < n; ++i) alpha[i] = st.base_alpha[i];
    for (uint64_t i = 0; i < n * 4; ++i) rot[i] = st.base_rot[i];

    auto overwrite_f = [](std::vector<float>& out, const std::vector<uint32_t>& idx,
                          const std::vector<int32_t>& q, double step) {
        for (size_t dj = 0; dj < idx.size(); ++dj)
            for (size_t k = 0; k < 3; ++k)
                out[idx[dj] * 3 + k] = static_cast<float>(static_cast<double>(q[dj * 3 + k]) * step);
    };
    auto overwrite_i = [](std::vector<int32_t>& out, const std::vector<uint32_t>& idx,
                          const std::vector<int32_t>& q, size_t m, int32_t step, int32_t lo, int32_t hi) {
        for (size_t dj = 0; dj < idx.size(); ++dj)
            for (size_t k = 0; k < m; ++k) out[idx[dj] * m + k] = int_value(q[dj * m + k], step, lo, hi);
    };
    overwrite_f(pos, dyn[kAttrPos], state[kAttrPos], s.pos);
    overwrite_i(rot, dyn[kAttrRot], state[kAttrRot], 4, s.rot, -128, 127);
    overwrite_i(rgb, dyn[kAttrRgb], state[kAttrRgb], 3, s.rgb, 0, 255);
    overwrite_i(alpha, dyn[kAttrAlpha], state[kAttrAlpha], 1, s.alpha, 0, 255);
    overwrite_f(scale_log, dyn[kAttrScale], state[kAttrScale], s.scale_log);

    std::vector<uint8_t> out(n * kSplatBytes);
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t* r = out.data() + i * kSplatBytes;
        for (size_t k = 0; k < 3; ++k) {
            store_f32(r + kSplatPosOffset + 4 * k, pos[i * 3 + k]);
            store_f32(r + kSplatScaleOffset + 4 * k, std::exp(scale_log[i * 3 + k]));
            r[kSplatRgbOffset + k] = static_cast<uint8_t>(std::clamp(rgb[i * 3 + k], 0, 255));
        }
        r[kSplatAlphaOffset] = static_cast<uint8_t>(std::clamp(alpha[i], 0, 255));
        for (size_t k = 0; k < 4; ++k)
            r[kSplatRotOffset + k] = static_cast<uint8_t>(std::clamp(rot[i * 4 + k] + 128, 0, 255));
    }
    return out;
}

}  // namespace quorvex
