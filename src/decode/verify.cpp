#include "decode/verify.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "encode/quant.hpp"

namespace quorvex {

namespace {

// Splats per task: a task takes its run of splats through every frame of a GOP, so the run's
// attribute states stay in cache from frame to frame.
constexpr size_t kVerifyChunk = 4096;

// Maximum that ignores NaN: the maximum of a number and NaN is the number.
inline double max_f(double m, double v) { return v > m ? v : m; }

// |a − b| of integers, widened so unclamped products of hostile indices cannot overflow,
// saturated back into the report's 32-bit range.
inline int64_t abs_diff(int64_t a, int64_t b) { return std::llabs(a - b); }
inline int32_t sat32(int64_t v) {
    return v > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                   : static_cast<int32_t>(v);
}

// The running maxima of one run of splats. Maxima are exact and ignore NaN, so combining the
// runs in any grouping gives the maxima over all splats whatever the number of threads.
struct Maxima {
    double pos = 0.0;
    double scale = 0.0;
    int64_t rgb = 0;
    int64_t alpha = 0;
    int64_t rot = 0;
};

// The end of the run of splats from i on (before i1) whose mask flags are all set or all clear.
// The file order groups splats by dynamic pattern, so runs are long.
inline size_t run_end(const uint8_t* mask, size_t i, size_t i1) {
    const bool flag = mask[i] != 0;
    size_t j = i + 1;
    while (j < i1 && (mask[j] != 0) == flag) ++j;
    return j;
}

// Maximum of err(e) over e in [0, len), ignoring NaN, kept as four running maxima so that
// neighbouring comparisons do not wait on each other; any grouping gives the same maximum.
template <class Err>
double max_over(size_t len, const Err& err) {
    double m0 = 0.0, m1 = 0.0, m2 = 0.0, m3 = 0.0;
    size_t e = 0;
    for (; e + 4 <= len; e += 4) {
        m0 = max_f(m0, err(e));
        m1 = max_f(m1, err(e + 1));
        m2 = max_f(m2, err(e + 2));
        m3 = max_f(m3, err(e + 3));
    }
    for (; e < len; ++e) m0 = max_f(m0, err(e));
    return max_f(max_f(m0, m1), max_f(m2, m3));
}

template <class Err>
int64_t max_over_int(size_t len, const Err& err) {
    int64_t m0 = 0, m1 = 0;
    size_t e = 0;
    for (; e + 2 <= len; e += 2) {
        m0 = std::max(m0, err(e));
        m1 = std::max(m1, err(e + 1));
    }
    for (; e < len; ++e) m0 = std::max(m0, err(e));
    return std::max(m0, m1);
}

// Largest error of a float attribute (3 components) over splats [i0, i1) of one frame: static
// splats against base × base step, dynamic ones (the d-th dynamic splat from d0 on) against
// index × step, both in f64 from the f64 product.
double float_errors(const float* r, const uint8_t* mask, const int32_t* base, double base_step,
                    const int32_t* q, double step, size_t i0, size_t i1, size_t d) {
    double m = 0.0;
    for (size_t i = i0; i < i1;) {
        const size_t j = run_end(mask, i, i1);
        const float* rr = r + 3 * i;
        if (mask[i]) {
            const int32_t* b = base + 3 * i;
            m = max_f(
                m, max_over(3 * (j - i), [&](size_t e) {
                    return std::fabs(static_cast<double>(b[e]) * base_step - static_cast<double>(rr[e]));
                }));
        } else {
            const int32_t* qq = q + 3 * d;
            m = max_f(m, max_over(3 * (j - i), [&](size_t e) {
                          return std::fabs(static_cast<double>(qq[e]) * step - static_cast<double>(rr[e]));
                      }));
            d += j - i;
        }
        i = j;
    }
    return m;
}

// Largest error of an integer attribute with M components: static splats against their base
// values, dynamic ones against index × step, unclamped.
template <size_t M, class P, class B>
int64_t int_errors(const P* r, const uint8_t* mask, const B* base, const int32_t* q, int32_t step, size_t i0,
                   size_t i1, size_t d) {
    int64_t m = 0;
    for (size_t i = i0; i < i1;) {
        const size_t j = run_end(mask, i, i1);
        const P* rr = r + M * i;
        if (mask[i]) {
            const B* b = base + M * i;
            m = std::max(m, max_over_int(M * (j - i), [&](size_t e) { return abs_diff(b[e], rr[e]); }));
        } else {
            const int32_t* qq = q + M * d;
            m = std::max(m, max_over_int(M * (j - i),
                                         [&](size_t e) { return abs_diff(int64_t{qq[e]} * step, rr[e]); }));
            d += j - i;
        }
        i = j;
    }
    return m;
}

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

using States = std::array<std::vector<int32_t>, kAttrCount>;

// The splats of one task, [i0, i1), and per attribute the positions [d0, d1) in its dynamic
// index list (the ascending dynamic splats) of the dynamic splats among them.
struct Run {
    size_t i0 = 0;
    size_t i1 = 0;
    std::array<size_t, kAttrCount> d0{};
    std::array<size_t, kAttrCount> d1{};
};

// The streams of one GOP that bring the states from frame to frame: per attribute its key and,
// when the GOP has more than one frame, its delta (null for attributes without dynamic splats).
struct GopRows {
    std::array<const GopPlanes*, kAttrCount> keys{};
    std::array<const GopPlanes*, kAttrCount> deltas{};
    std::array<size_t, kAttrCount> row_len{};  // D × m values per frame
};

// Raises mx to the largest errors of frame f over the run's splats, the states holding the
// dynamic splats' indices of frame f.
void measure_frame(const Decoder& dec, const Frames& ref, uint64_t f, const Run& run, const States& state,
                   Maxima& mx) {
    const StaticState& st = dec.static_state;
    const Steps& s = dec.header.steps;
    const uint64_t fn = f * ref.n;
    const size_t i0 = run.i0;
    const size_t i1 = run.i1;
    mx.pos =
        max_f(mx.pos, float_errors(ref.pos.data() + fn * 3, st.masks[kAttrPos].data(), st.base_pos.data(),
                                   s.base_pos, state[kAttrPos].data(), s.pos, i0, i1, run.d0[kAttrPos]));
    mx.scale = max_f(mx.scale, float_errors(ref.scale_log.data() + fn * 3, st.masks[kAttrScale].data(),
                                            st.base_scale.data(), s.base_scale_log, state[kAttrScale].data(),
                                            s.scale_log, i0, i1, run.d0[kAttrScale]));
    mx.rgb =
        std::max(mx.rgb, int_errors<3>(ref.rgb.data() + fn * 3, st.masks[kAttrRgb].data(), st.base_rgb.data(),
                                       state[kAttrRgb].data(), s.rgb, i0, i1, run.d0[kAttrRgb]));
    mx.alpha = std::max(
        mx.alpha, int_errors<1>(ref.alpha.data() + fn, st.masks[kAttrAlpha].data(), st.base_alpha.data(),
                                state[kAttrAlpha].data(), s.alpha, i0, i1, run.d0[kAttrAlpha]));
    mx.rot =
        std::max(mx.rot, int_errors<4>(ref.rot.data() + fn * 4, st.masks[kAttrRot].data(), st.base_rot.data(),
                                       state[kAttrRot].data(), s.rot, i0, i1, run.d0[kAttrRot]));
}

// Takes the run's splats through every frame of the GOP: the states to each frame in turn
// (key at f0, then one delta row per frame), and the maxima raised by every frame.
void verify_run(const Decoder& dec, const Frames& ref, const GopSpan& span, const GopRows& rows,
                const Run& run, States& state, Maxima& mx) {
    for (uint64_t f = span.f0; f <= span.f1; ++f) {
        const bool key = f == span.f0;
        for (size_t a = 0; a < kAttrCount; ++a) {
            if (run.d1[a] == run.d0[a]) continue;
            const size_t m = kAttrComponents[a];
            apply_range(key ? *rows.keys[a] : *rows.deltas[a], key, key ? 0 : f - span.f0 - 1, rows.row_len[a],
                        run.d0[a] * m, run.d1[a] * m, state[a].data());
        }
        measure_frame(dec, ref, f, run, state, mx);
    }
}

}  // namespace

Result<VerifyReport> verify(const Decoder& dec, const Frames& ref) {
    const Header& h = dec.header;
    if (ref.t != h.t || ref.n != h.n)
        return Error::make("reference mismatch: file {}x{}, reference {}x{}", h.t, h.n, ref.t, ref.n);
    const double scale_bound = std::log(1.0 + h.bounds.scale_rel);
    const StaticState& st = dec.static_state;
    // Frame ranges are checked against the reference before any frame is indexed.
    for (uint64_t g = 0; g < h.gops.size(); ++g) {
        const GopSpan& s = h.gops[g];
        if (s.f0 <= s.f1 && s.f1 >= h.t)
            return Error::make("gop {} covers frames {}..{} beyond the sequence of {} frames", g, s.f0, s.f1,
                               h.t);
    }
    QX_CHECK(check_coverage(h));

    // Runs of splats, one per task, each with its share of every attribute's dynamic splats.
    const uint64_t n = h.n;
    const size_t chunks = static_cast<size_t>((n + kVerifyChunk - 1) / kVerifyChunk);
    std::vector<Run> runs(chunks);
    std::array<size_t, kAttrCount> dyn_count{};
    for (size_t c = 0; c < chunks; ++c) {
        Run& run = runs[c];
        run.i0 = c * kVerifyChunk;
        run.i1 = std::min<size_t>(n, run.i0 + kVerifyChunk);
        for (size_t a = 0; a < kAttrCount; ++a) {
            const uint8_t* mask = st.masks[a].data();
            run.d0[a] = dyn_count[a];
            for (size_t i = run.i0; i < run.i1; ++i) dyn_count[a] += mask[i] == 0;
            run.d1[a] = dyn_count[a];
        }
    }
    States state;
    for (size_t a = 0; a < kAttrCount; ++a) state[a].assign(dyn_count[a] * kAttrComponents[a], 0);
    std::vector<Maxima> maxima(chunks);

    // One buffer serves every GOP's streams in turn.
    GopPlaneSet set;
    for (uint64_t g = 0; g < h.gops.size(); ++g) {
        const GopSpan& span = h.gops[g];
        QX_CHECK(dec.gop_planes(g, set));
        if (span.f0 > span.f1) continue;
        GopRows rows;
        for (uint8_t a = 0; a < kAttrCount; ++a) {
            const uint64_t d = dyn_count[a];
            if (d == 0) continue;
            rows.row_len[a] = d * kAttrComponents[a];
            rows.keys[a] = find_stream(set.streams, a, kKindKey);
            if (!rows.keys[a]) return Error::msg("missing key stream");
            QX_CHECK(check_stream_length(*rows.keys[a], 1, d, kAttrComponents[a], g));
            if (span.f1 > span.f0) {
                rows.deltas[a] = find_stream(set.streams, a, kKindDelta);
                if (!rows.deltas[a]) return Error::msg("missing delta stream");
                QX_CHECK(check_stream_length(*rows.deltas[a], span.f1 - span.f0, d, kAttrComponents[a], g));
            }
        }
        // Each task owns a run of splats: its entries of the five states and its maxima.
        tbb::parallel_for(tbb::blocked_range<size_t>(0, chunks, 1), [&](const tbb::blocked_range<size_t>& r) {
            for (size_t c = r.begin(); c < r.end(); ++c)
                verify_run(dec, ref, span, rows, runs[c], state, maxima[c]);
        });
    }

    VerifyReport rep;
    for (const Maxima& m : maxima) {
        rep.pos_err = max_f(rep.pos_err, m.pos);
        rep.scale_err = max_f(rep.scale_err, m.scale);
        rep.rgb_err = std::max(rep.rgb_err, sat32(m.rgb));
        rep.alpha_err = std::max(rep.alpha_err, sat32(m.alpha));
        rep.rot_err = std::max(rep.rot_err, sat32(m.rot));
    }
    rep.ok = rep.pos_err <= h.bounds.pos_m + 0.000001 && rep.scale_err <= scale_bound + 0.000001 &&
             rep.rgb_err <= h.bounds.rgb && rep.alpha_err <= h.bounds.alpha && rep.rot_err <= h.bounds.rot;
    return rep;
}

}  // namespace quorvex
