#include "decode/verify.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "encode/hold.hpp"

namespace quorvex {

namespace {

// Maximum that ignores NaN: the maximum of a number and NaN is the number.
inline double max_f(double m, double v) { return v > m ? v : m; }

// Parallel maximum over [0, count) of err(i); exact and order-independent, so the result
// does not depend on the number of threads.
template <class T, class Err>
T par_max(size_t count, const Err& err) {
    return tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, count), T{0},
        [&](const tbb::blocked_range<size_t>& r, T m) {
            for (size_t i = r.begin(); i < r.end(); ++i) {
                T v = err(i);
                m = v > m ? v : m;
            }
            return m;
        },
        [](T a, T b) { return b > a ? b : a; });
}

// |a − b| of integers, widened so unclamped products of hostile indices cannot overflow,
// saturated back into the report's 32-bit range.
inline int64_t abs_diff(int64_t a, int64_t b) { return std::llabs(a - b); }
inline int32_t sat32(int64_t v) {
    return v > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                   : static_cast<int32_t>(v);
}

struct Measure {
    const Decoder& dec;
    const Frames& ref;
    const std::array<std::vector<uint32_t>, kAttrCount>& dyn;
    const std::array<std::vector<int32_t>, kAttrCount>& state;

    // Float attribute (pos or scale): static splats from base × base step, dynamic from index × step.
    double float_attr(uint64_t f, const std::vector<float>& plane, const std::vector<uint8_t>& mask,
                      const std::vector<int32_t>& base, double base_step, size_t a, double step) const {
        const uint64_t n = ref.n;
        const float* r = plane.data() + f * n * 3;
        const double s = par_max<double>(n, [&](size_t i) {
            if (!mask[i]) return 0.0;
            double m = 0.0;
            for (size_t k = 0; k < 3; ++k)
                m = max_f(m, std::fabs(static_cast<double>(base[3 * i + k]) * base_step -
                                       static_cast<double>(r[3 * i + k])));
            return m;
        });
        const auto& idx = dyn[a];
        const auto& q = state[a];
        const double d = par_max<double>(idx.size(), [&](size_t j) {
            double m = 0.0;
            for (size_t k = 0; k < 3; ++k)
                m = max_f(m, std::fabs(static_cast<double>(q[3 * j + k]) * step -
                                       static_cast<double>(r[3 * idx[j] + k])));
            return m;
        });
        return max_f(s, d);
    }

    // Integer attribute: static splats exact base values, dynamic index × step unclamped.
    template <class P, class B>
    int32_t int_attr(uint64_t f, const std::vector<P>& plane, const std::vector<uint8_t>& mask,
                     const std::vector<B>& base, size_t a, int32_t step) const {
        const size_t m = kAttrComponents[a];
        const uint64_t n = ref.n;
        const P* r = plane.data() + f * n * m;
        const int32_t s = par_max<int32_t>(n, [&](size_t i) {
            if (!mask[i]) return int32_t{0};
            int64_t e = 0;
            for (size_t k = 0; k < m; ++k) e = std::max(e, abs_diff(base[m * i + k], r[m * i + k]));
            return sat32(e);
        });
        const auto& idx = dyn[a];
        const auto& q = state[a];
        const int32_t d = par_max<int32_t>(idx.size(), [&](size_t j) {
            int64_t e = 0;
            for (size_t k = 0; k < m; ++k)
                e = std::max(e, abs_diff(int64_t{q[m * j + k]} * step, r[m * idx[j] + k]));
            return sat32(e);
        });
        return std::max(s, d);
    }
};

// Every frame 0 … t − 1 must be covered by exactly one GOP: a frame no GOP covers would pass
// unchecked, and a frame covered twice would be checked twice, so a table of many overlapping
// GOPs could multiply the work without bound. Works on the table alone, whatever t claims.
Status check_coverage(const Header& h) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // (f0, g) of every non-empty GOP
    ranges.reserve(h.gops.size());
    for (uint64_t g = 0; g < h.gops.size(); ++g)
        if (h.gops[g].f0 <= h.gops[g].f1) ranges.emplace_back(h.gops[g].f0, g);
    std::sort(ranges.begin(), ranges.end());
    uint64_t next = 0;  // first frame not covered yet
    for (const auto& [f0, g] : ranges) {
        if (f0 > next) return Error::make("frame {} is not covered by any gop", next);
        if (f0 < next) return Error::make("gop {} covers frame {} again", g, f0);
        next = h.gops[g].f1 + 1;  // f1 < t was checked, so this cannot wrap
    }
    if (next < h.t) return Error::make("frame {} is not covered by any gop", next);
    return Ok{};
}

}  // namespace

Result<VerifyReport> verify(const Decoder& dec, const Frames& ref) {
    const Header& h = dec.header;
    if (ref.t != h.t || ref.n != h.n)
        return Error::make("reference mismatch: file {}x{}, reference {}x{}", h.t, h.n, ref.t, ref.n);
    const double scale_bound = std::log(1.0 + h.bounds.scale_rel);
    const StaticState& st = dec.static_state;
    std::array<std::vector<uint32_t>, kAttrCount> dyn;
    std::array<std::vector<int32_t>, kAttrCount> state;
    for (size_t a = 0; a < kAttrCount; ++a) {
        dyn[a] = dyn_indices(st.masks[a]);
        state[a].assign(dyn[a].size() * kAttrComponents[a], 0);
    }
    // Frame ranges are checked against the reference before any frame is indexed.
    for (uint64_t g = 0; g < h.gops.size(); ++g) {
        const GopSpan& s = h.gops[g];
        if (s.f0 <= s.f1 && s.f1 >= h.t)
            return Error::make("gop {} covers frames {}..{} beyond the sequence of {} frames", g, s.f0, s.f1, h.t);
    }
    QX_CHECK(check_coverage(h));

    VerifyReport rep;
    const Measure measure{dec, ref, dyn, state};
    for (uint64_t g = 0; g < h.gops.size(); ++g) {
        const GopSpan& span = h.gops[g];
        QX_TRY(streams, dec.gop_streams(g));
        if (span.f0 > span.f1) continue;
        std::array<const GopStream*, kAttrCount> deltas{};
        for (uint8_t a = 0; a < kAttrCount; ++a) {
            const uint64_t d = dyn[a].size();
            if (d == 0) continue;
            const GopStream* key = find_stream(streams, a, kKindKey);
            if (!key) return Error::msg("missing key stream");
            QX_CHECK(check_stream_length(*key, 1, d, kAttrComponents[a], g));
            if (span.f1 > span.f0) {
                deltas[a] = find_stream(streams, a, kKindDelta);
                if (!deltas[a]) return Error::msg("missing delta stream");
                QX_CHECK(check_stream_length(*deltas[a], span.f1 - span.f0, d, kAttrComponents[a], g));
            }
        }
        for (uint64_t f = span.f0; f <= span.f1; ++f) {
            for (uint8_t a = 0; a < kAttrCount; ++a) {
                if (dyn[a].empty()) continue;
                if (f == span.f0)
                    apply_key(state[a], *find_stream(streams, a, kKindKey));
                else
                    apply_delta(state[a], *deltas[a], f - span.f0 - 1);
            }
            const Steps& s = h.steps;
            rep.pos_err = max_f(rep.pos_err, measure.float_attr(f, ref.pos, st.masks[kAttrPos], st.base_pos,
                                                                s.base_pos, kAttrPos, s.pos));
            rep.scale_err = max_f(rep.scale_err, measure.float_attr(f, ref.scale_log, st.masks[kAttrScale],
                                                                    st.base_scale, s.base_scale_log, kAttrScale,
                                                                    s.scale_log));
            rep.rgb_err = std::max(rep.rgb_err,
                                   measure.int_attr(f, ref.rgb, st.masks[kAttrRgb], st.base_rgb, kAttrRgb, s.rgb));
            rep.alpha_err = std::max(rep.alpha_err, measure.int_attr(f, ref.alpha, st.masks[kAttrAlpha],
                                                                     st.base_alpha, kAttrAlpha, s.alpha));
            rep.rot_err = std::max(rep.rot_err,
                                   measure.int_attr(f, ref.rot, st.masks[kAttrRot], st.base_rot, kAttrRot, s.rot));
        }
    }
    rep.ok = rep.pos_err <= h.bounds.pos_m + 0.000001 && rep.scale_err <= scale_bound + 0.000001 &&
             rep.rgb_err <= h.bounds.rgb && rep.alpha_err <= h.bounds.alpha && rep.rot_err <= h.bounds.rot;
    return rep;
}

}  // namespace quorvex
