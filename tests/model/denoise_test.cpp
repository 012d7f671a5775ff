#include <algorithm>
#include <array>
#include <vector>

#include "model/frames.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

// t frames of one splat whose red channel follows `reds`; green and blue stay constant.
Frames one_splat(const std::vector<uint8_t>& reds) {
    test::SynthParams p;
    p.t = reds.size();
    p.n = 1;
    Frames f = test::make_frames(p);
    for (size_t k = 0; k < reds.size(); ++k) {
        f.rgb[k * 3] = reds[k];
        f.rgb[k * 3 + 1] = 40;
        f.rgb[k * 3 + 2] = 50;
    }
    return f;
}

std::vector<uint8_t> reds(const Frames& f) {
    std::vector<uint8_t> out(f.t);
    for (uint64_t k = 0; k < f.t; ++k) out[k] = f.rgb[k * 3];
    return out;
}

TEST(Denoise, MedianOfFiveWithClampedEnds) {
    struct Case {
        const char* what;
        std::vector<uint8_t> in, out;
    };
    const Case cases[] = {
        {"spike removed", {10, 10, 200, 10, 10}, {10, 10, 10, 10, 10}},
        {"step kept", {10, 10, 10, 200, 200, 200}, {10, 10, 10, 200, 200, 200}},
        {"single frame", {77}, {77}},
        {"two frames", {10, 200}, {10, 200}},
        // Frame 0 sees 50, 50, 50, 0, 0; frame 4 sees 0, 100, 100, 100, 100.
        {"ends repeat the edge frame", {50, 0, 0, 100, 100}, {50, 50, 50, 100, 100}},
        // Frame 2 sees 0, 200, 0, 200, 200 as read; had frame 1 (filtered to 0) fed it, the
        // result would be 0.
        {"samples from the unfiltered plane", {0, 200, 0, 200, 200}, {0, 0, 200, 200, 200}},
        {"two-frame burst", {0, 0, 255, 255, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Frames f = one_splat(c.in);
        f.denoise_colors();
        EXPECT_EQ(reds(f), c.out) << c.what;
        for (uint64_t k = 0; k < f.t; ++k) EXPECT_EQ(f.rgb[k * 3 + 1], 40) << c.what;
    }
}

TEST(Denoise, MatchesSortedMedianOnNoise) {
    test::SynthParams p;
    p.t = 11;
    p.n = 23;
    p.static_fraction = 0.2;
    p.colour_flicker = 60;
    Frames f = test::make_frames(p);
    const std::vector<uint8_t> old = f.rgb;
    const Frames before = f;
    f.denoise_colors();
    const uint64_t m = 3 * f.n;
    for (uint64_t e = 0; e < old.size(); ++e) {
        const int64_t k = static_cast<int64_t>(e / m);
        std::array<uint8_t, 5> s;
        for (int d = -2; d <= 2; ++d) {
            const int64_t kk = std::clamp<int64_t>(k + d, 0, static_cast<int64_t>(f.t) - 1);
            s[static_cast<size_t>(d + 2)] = old[e % m + static_cast<uint64_t>(kk) * m];
        }
        std::sort(s.begin(), s.end());
        ASSERT_EQ(f.rgb[e], s[2]) << "element " << e;
    }
    // Nothing but colour changes.
    Frames restored = f;
    restored.rgb = old;
    EXPECT_TRUE(test::frames_identical(restored, before));
}

TEST(Denoise, StatisticsMeanAndP99) {
    // 5 frames × 20 splats × 3 = 300 components; each spike moves one component by 190.
    auto run = [](int spikes) {
        test::SynthParams p;
        p.t = 5;
        p.n = 20;
        Frames f = test::make_frames(p);
        std::fill(f.rgb.begin(), f.rgb.end(), uint8_t{10});
        for (int s = 0; s < spikes; ++s) f.rgb[2 * 60 + static_cast<size_t>(s) * 3] = 200;  // frame 2
        return f.denoise_colors();
    };
    // 3 of 300 changed is exactly 1 %: 297 zero deviations reach 0.99 × 300.
    DenoiseStats three = run(3);
    EXPECT_EQ(three.p99_dev, 0.0);
    EXPECT_DOUBLE_EQ(three.mean_dev, 3.0 * 190.0 / 300.0);
    DenoiseStats four = run(4);
    EXPECT_EQ(four.p99_dev, 190.0);
    EXPECT_DOUBLE_EQ(four.mean_dev, 4.0 * 190.0 / 300.0);
    DenoiseStats none = run(0);
    EXPECT_EQ(none.p99_dev, 0.0);
    EXPECT_EQ(none.mean_dev, 0.0);
}

TEST(Denoise, P99IsTheSmallestBinReachingTheTarget) {
    // One frame repeated three times with one odd frame: deviations spread over levels.
    test::SynthParams p;
    p.t = 3;
    p.n = 100;
    Frames f = test::make_frames(p);
    std::fill(f.rgb.begin(), f.rgb.end(), uint8_t{100});
    // Frame 1 of three: its samples are frames 0, 0, 1, 2, 2, so frame 1 always reverts to
    // 100. Deviations: 290 components by 0, 5 by 1, 5 by 2 (900 total, target 891).
    for (size_t e = 0; e < 5; ++e) f.rgb[300 + e] = 101;
    for (size_t e = 5; e < 10; ++e) f.rgb[300 + e] = 98;
    DenoiseStats s = f.denoise_colors();
    // 890 zeros, 895 up to 1, 900 up to 2: the first bin reaching 891 is 1.
    EXPECT_EQ(s.p99_dev, 1.0);
    EXPECT_DOUBLE_EQ(s.mean_dev, 15.0 / 900.0);
}

TEST(Denoise, AlphaAndSingleFrameUntouched) {
    test::SynthParams p;
    p.t = 1;
    p.n = 50;
    p.colour_flicker = 20;
    Frames f = test::make_frames(p);
    const Frames before = f;
    DenoiseStats s = f.denoise_colors();
    EXPECT_TRUE(test::frames_identical(f, before));
    EXPECT_EQ(s.mean_dev, 0.0);
    EXPECT_EQ(s.p99_dev, 0.0);
}

TEST(Denoise, SameResultForAnyThreadCount) {
    test::SynthParams p;
    p.t = 12;
    p.n = 300;
    p.colour_flicker = 40;
    const Frames input = test::make_frames(p);
    auto run = [&](int threads) {
        Frames f = input;
        const DenoiseStats s = with_threads(threads, [&] { return f.denoise_colors(); });
        return std::make_pair(f, s);
    };
    auto [f1, s1] = run(1);
    auto [f2, s2] = run(2);
    EXPECT_TRUE(test::frames_identical(f1, f2));
    EXPECT_EQ(s1.mean_dev, s2.mean_dev);
    EXPECT_EQ(s1.p99_dev, s2.p99_dev);
    EXPECT_NE(f1.rgb, input.rgb);
}

}  // namespace
}  // namespace quorvex
