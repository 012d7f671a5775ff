// verify against a measurement written out one frame, one splat and one component at a time,
// on sequences with enough splats to be split into several runs of work.

#include "decode/verify.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "decode/decoder.hpp"
#include "encode/encode.hpp"
#include "encode/hold.hpp"
#include "encode/quant.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

struct Maxima {
    double pos = 0, scale = 0;
    int64_t rgb = 0, alpha = 0, rot = 0;
};

double max_nan(double m, double v) { return v > m ? v : m; }

// The state rules written out on unpacked values: a key sets the indices, a delta row adds to them.
void set_key(std::vector<int32_t>& state, const GopStream& key) {
    for (size_t k = 0; k < state.size(); ++k) state[k] = unzigzag(key.values[k]);
}
void add_delta(std::vector<int32_t>& state, const GopStream& delta, uint64_t row) {
    for (size_t k = 0; k < state.size(); ++k)
        state[k] =
            static_cast<int32_t>(static_cast<uint32_t>(state[k]) +
                                 static_cast<uint32_t>(unzigzag(delta.values[row * state.size() + k])));
}

// The largest errors by the format's formulas: static splats against their base values, dynamic
// ones against the index carried through the GOP's key and delta rows times the step.
Maxima plain_measurement(const Decoder& dec, const Frames& ref) {
    const Header& h = dec.header;
    const StaticState& st = dec.static_state;
    const Steps& s = h.steps;
    const uint64_t n = h.n;
    std::array<std::vector<uint32_t>, kAttrCount> dyn;
    std::array<std::vector<int32_t>, kAttrCount> state;
    for (size_t a = 0; a < kAttrCount; ++a) {
        dyn[a] = dyn_indices(st.masks[a]);
        state[a].assign(dyn[a].size() * kAttrComponents[a], 0);
    }
    Maxima m;
    for (uint64_t g = 0; g < h.gops.size(); ++g) {
        const GopSpan& span = h.gops[g];
        auto streams = dec.gop_streams(g);
        EXPECT_TRUE(streams);
        for (uint64_t f = span.f0; f <= span.f1; ++f) {
            for (uint8_t a = 0; a < kAttrCount; ++a) {
                if (dyn[a].empty()) continue;
                if (f == span.f0)
                    set_key(state[a], *find_stream(*streams, a, kKindKey));
                else
                    add_delta(state[a], *find_stream(*streams, a, kKindDelta), f - span.f0 - 1);
            }
            std::array<size_t, kAttrCount> d{};
            for (uint64_t i = 0; i < n; ++i) {
                const auto fe = [&](size_t a, const std::vector<float>& plane,
                                    const std::vector<int32_t>& base, double base_step, double step,
                                    double& mx) {
                    for (size_t k = 0; k < 3; ++k) {
                        const double r = plane[(f * n + i) * 3 + k];
                        const double v = st.masks[a][i] ? static_cast<double>(base[3 * i + k]) * base_step
                                                        : static_cast<double>(state[a][3 * d[a] + k]) * step;
                        mx = max_nan(mx, std::fabs(v - r));
                    }
                };
                const auto ie = [&](size_t a, auto plane_value, auto base_value, int32_t step, int64_t& mx) {
                    const size_t c = kAttrComponents[a];
                    for (size_t k = 0; k < c; ++k) {
                        const int64_t r = plane_value(k);
                        const int64_t v =
                            st.masks[a][i] ? int64_t{base_value(k)} : int64_t{state[a][c * d[a] + k]} * step;
                        mx = std::max<int64_t>(mx, std::llabs(v - r));
                    }
                };
                fe(kAttrPos, ref.pos, st.base_pos, s.base_pos, s.pos, m.pos);
                fe(kAttrScale, ref.scale_log, st.base_scale, s.base_scale_log, s.scale_log, m.scale);
                ie(
                    kAttrRgb, [&](size_t k) { return ref.rgb[(f * n + i) * 3 + k]; },
                    [&](size_t k) { return st.base_rgb[3 * i + k]; }, s.rgb, m.rgb);
                ie(
                    kAttrAlpha, [&](size_t) { return ref.alpha[f * n + i]; },
                    [&](size_t) { return st.base_alpha[i]; }, s.alpha, m.alpha);
                ie(
                    kAttrRot, [&](size_t k) { return ref.rot[(f * n + i) * 4 + k]; },
                    [&](size_t k) { return st.base_rot[4 * i + k]; }, s.rot, m.rot);
                for (size_t a = 0; a < kAttrCount; ++a) d[a] += st.masks[a][i] == 0;
            }
        }
    }
    return m;
}

Result<VerifyReport> verify_with_threads(int threads, const Decoder& dec, const Frames& f) {
    return with_threads(threads, [&] { return verify(dec, f); });
}

// A report of violated bounds with exactly the maxima of the plain measurement.
void expect_violated_with(const Result<VerifyReport>& rep, const Maxima& want) {
    ASSERT_TRUE(rep) << rep.error().render();
    EXPECT_EQ(rep->pos_err, want.pos);
    EXPECT_EQ(rep->scale_err, want.scale);
    EXPECT_EQ(rep->rgb_err, want.rgb);
    EXPECT_EQ(rep->alpha_err, want.alpha);
    EXPECT_EQ(rep->rot_err, want.rot);
    EXPECT_FALSE(rep->ok);
}

test::SynthParams sequence(uint64_t t, uint64_t n, uint64_t seed) {
    test::SynthParams p;
    p.t = t;
    p.n = n;
    p.seed = seed;
    p.static_fraction = 0.4;
    p.drift = 0.02f;
    p.jitter = 0.001f;
    p.colour_flicker = 6;
    p.flip_fraction = 0.1;
    return p;
}

TEST(Verify, MatchesThePlainMeasurement) {
    struct Case {
        uint64_t t, n, gop;
        Bounds b;
    };
    const Case cases[] = {{7, 9000, 3, Bounds{}}, {4, 5000, 4, Bounds{0.0005, 0.005, 0, 1, 2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.t << " frames of " << c.n << " splats");
        Frames f = test::make_frames(sequence(c.t, c.n, c.t));
        auto enc = encode(f, c.b, c.gop, 3, false);
        ASSERT_TRUE(enc) << enc.error().render();
        auto dec = Decoder::from_bytes(enc->bytes);
        ASSERT_TRUE(dec) << dec.error().render();
        // Move the reference off what was encoded, some of it far and some to NaN, so that
        // every maximum is a real comparison and NaN differences must be ignored.
        test::SplitMix64 rng{c.n};
        for (uint64_t k = 0; k < f.t; ++k) {
            for (int hit = 0; hit < 40; ++hit) {
                const uint64_t e = k * f.n + rng.below(f.n);
                f.pos[e * 3 + rng.below(3)] += static_cast<float>(rng.uniform(-0.01, 0.01));
                f.scale_log[e * 3 + rng.below(3)] =
                    hit % 7 == 0 ? NAN : static_cast<float>(rng.uniform(-5, 0));
                f.rgb[e * 3 + rng.below(3)] = static_cast<uint8_t>(rng.below(256));
                f.alpha[e] = static_cast<uint8_t>(rng.below(256));
                f.rot[e * 4 + rng.below(4)] = static_cast<int16_t>(static_cast<int>(rng.below(256)) - 128);
            }
        }
        const Maxima want = plain_measurement(*dec, f);
        for (int threads : {1, 2, 3}) {
            expect_violated_with(verify_with_threads(threads, *dec, f), want);
        }
    }
}

// One component at a time moved far off, at the edges of the runs of work and of the runs of
// equal static flags, in the first, a middle and the last frame: each must be the maximum.
TEST(Verify, EveryComponentCounts) {
    Frames f = test::make_frames(sequence(5, 9000, 11));
    auto enc = encode(f, Bounds{}, 2, 3, false);
    ASSERT_TRUE(enc) << enc.error().render();
    auto dec = Decoder::from_bytes(enc->bytes);
    ASSERT_TRUE(dec) << dec.error().render();
    std::vector<uint64_t> splats = {0, 1, 4095, 4096, 8191, 8192, f.n - 1};
    // The first two changes of flag of each attribute: the last splat of a run and the next.
    for (size_t a = 0; a < kAttrCount; ++a) {
        const auto& mask = dec->static_state.masks[a];
        int changes = 0;
        for (uint64_t i = 0; i + 1 < f.n && changes < 2; ++i) {
            if (mask[i] == mask[i + 1]) continue;
            splats.push_back(i);
            splats.push_back(i + 1);
            ++changes;
        }
    }
    for (uint64_t k : {uint64_t{0}, uint64_t{3}, f.t - 1}) {
        for (uint64_t i : splats) {
            for (size_t a = 0; a < kAttrCount; ++a) {
                Frames g = f;
                const uint64_t e = k * f.n + i;
                const size_t last = kAttrComponents[a] - 1;
                switch (a) {
                    case kAttrPos:
                        g.pos[e * 3 + last] += 3.0f;
                        break;
                    case kAttrScale:
                        g.scale_log[e * 3 + last] += 3.0f;
                        break;
                    case kAttrRgb:
                        g.rgb[e * 3 + last] = g.rgb[e * 3 + last] < 128 ? 255 : 0;
                        break;
                    case kAttrAlpha:
                        g.alpha[e] = g.alpha[e] < 128 ? 255 : 0;
                        break;
                    default:
                        g.rot[e * 4 + last] = static_cast<int16_t>(g.rot[e * 4 + last] < 0 ? 127 : -128);
                        break;
                }
                const Maxima want = plain_measurement(*dec, g);
                SCOPED_TRACE(testing::Message() << "frame " << k << " splat " << i << " attr " << a);
                expect_violated_with(verify_with_threads(2, *dec, g), want);
            }
        }
    }
}

}  // namespace
}  // namespace quorvex
