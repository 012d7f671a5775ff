#include "encode/front_end.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "model/attribute.hpp"
#include "support/frames_builder.hpp"

namespace quorvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kBig = 3.4028235e38f;

TEST(Steps, FromBounds) {
    const Steps s = steps_from(Bounds{0.5, 0.02, 4, 0, 127});
    EXPECT_EQ(s.pos, 1.0);
    EXPECT_EQ(s.base_pos, 0.5);
    EXPECT_EQ(s.base_scale_log, std::log(1.02));
    EXPECT_EQ(s.scale_log, 2.0 * std::log(1.02));
    EXPECT_EQ(s.rgb, 9);
    EXPECT_EQ(s.alpha, 1);
    EXPECT_EQ(s.rot, 255);
}

TEST(Steps, IntegerStepWrapsWithoutOverflow) {
    // 2·bound + 1 is formed in 64 bits and wraps on narrowing; it stays odd, never zero.
    const Steps s = steps_from(Bounds{0.5, 0.02, INT32_MAX, INT32_MIN, -1});
    EXPECT_EQ(s.rgb, -1);
    EXPECT_EQ(s.alpha, 1);
    EXPECT_EQ(s.rot, -1);
}

TEST(MinMax, NaNOnlyEntersFromFrameZero) {
    // Two frames of two elements: element 0 is NaN in frame 0, element 1 in frame 1.
    const std::vector<float> plane = {kNaN, 2.0f, 5.0f, kNaN};
    const MinMax<float> r = minmax_f32(plane, 2, 2);
    EXPECT_TRUE(std::isnan(r.min[0]));
    EXPECT_TRUE(std::isnan(r.max[0]));
    EXPECT_EQ(r.min[1], 2.0f);
    EXPECT_EQ(r.max[1], 2.0f);
}

TEST(MinMax, RangesOverEveryFrame) {
    const std::vector<uint8_t> u8 = {5, 9, 3, 10, 7, 1};  // 3 frames × 2 elements
    const MinMax<uint8_t> a = minmax_u8(u8, 3, 2);
    EXPECT_EQ(a.min, (std::vector<uint8_t>{3, 1}));
    EXPECT_EQ(a.max, (std::vector<uint8_t>{7, 10}));
    const std::vector<int16_t> i16 = {-128, 127, 0, -5, 127, -128};
    const MinMax<int16_t> b = minmax_i16(i16, 3, 2);
    EXPECT_EQ(b.min, (std::vector<int16_t>{-128, -128}));
    EXPECT_EQ(b.max, (std::vector<int16_t>{127, 127}));
    const std::vector<float> f = {1.0f, -0.0f, 0.5f, 2.0f};
    const MinMax<float> c = minmax_f32(f, 2, 2);
    EXPECT_EQ(c.min, (std::vector<float>{0.5f, -0.0f}));
    EXPECT_EQ(c.max, (std::vector<float>{1.0f, 2.0f}));
}

// One splat whose x takes the listed values over the frames; y and z stay 0.
struct FloatCase {
    const char* name;
    double pos_m;
    std::vector<float> xs;
    uint8_t mask;
    int32_t base_x;
};

TEST(Classify, FloatRule) {
    const double tiny = std::ldexp(1.0, -20);  // a grid step whose floats are dense enough for the slack
    const float slack_in = static_cast<float>(2 * tiny + 5e-10);
    const float slack_out = static_cast<float>(2 * tiny + 2e-9);
    ASSERT_GT(double{slack_in} - 2 * tiny, 0.0);
    ASSERT_LT(double{slack_in} - 2 * tiny, 1e-9);
    ASSERT_GT(double{slack_out} - 2 * tiny, 1e-9);
    const FloatCase cases[] = {
        {"static within the bound of grid 3", 0.5, {1.0f, 1.6f}, 1, 3},
        {"halfway mid rounds away, grid too far", 0.5, {0.9f, 1.6f}, 0, 2},
        {"negative halfway mid rounds away", 0.5, {-1.25f, -1.25f}, 1, -3},
        {"range of exactly twice the bound", 0.5, {0.0f, 1.0f}, 1, 1},
        {"one ulp more than twice the bound", 0.5, {0.0f, std::nextafter(1.0f, 2.0f)}, 0, 0},
        {"excess inside the 1e-9 slack", tiny, {0.0f, slack_in}, 1, 1},
        {"excess beyond the 1e-9 slack", tiny, {0.0f, slack_out}, 0, 0},
        {"excess inside the slack, low side",
         tiny,
         {-static_cast<float>(slack_in - 2 * tiny), static_cast<float>(2 * tiny)},
         1,
         1},
        {"NaN in frame 0", 0.5, {kNaN, 1.0f}, 0, 0},
        {"NaN in a later frame", 0.5, {1.0f, kNaN, 1.0f}, 1, 2},
        {"single frame", 0.5, {-7.3f}, 1, -15},
        {"single frame within the index range", 0.5, {1e9f}, 1, 2000000000},
        {"single frame beyond the index range", 0.5, {2e9f}, 0, INT32_MAX},
        {"single frame beyond the index range, negative", 0.5, {-2e9f}, 0, INT32_MIN},
    };
    for (const FloatCase& c : cases) {
        SCOPED_TRACE(c.name);
        Frames f = zeroed_frames(c.xs.size(), 1);
        for (size_t k = 0; k < c.xs.size(); ++k) test::pos_at(f, k, 0)[0] = c.xs[k];
        const Classification cls = classify(f, Bounds{c.pos_m, 0.02, 4, 4, 0});
        EXPECT_EQ(cls.mask_pos[0], c.mask);
        EXPECT_EQ(cls.base_pos, (std::vector<int32_t>{c.base_x, 0, 0}));
    }
}

TEST(Classify, DynamicFloatBaseComesFromFrameZeroForEveryComponent) {
    // x alone would be static on grid 3, but z moves too far: x's base is frame 0 rounded.
    Frames f = zeroed_frames(2, 1);
    test::pos_at(f, 0, 0)[0] = 1.0f;
    test::pos_at(f, 1, 0)[0] = 1.6f;
    test::pos_at(f, 0, 0)[2] = -1.3f;
    test::pos_at(f, 1, 0)[2] = 5.0f;
    const Classification cls = classify(f, Bounds{0.5, 0.02, 4, 4, 0});
    EXPECT_EQ(cls.mask_pos[0], 0);
    EXPECT_EQ(cls.base_pos, (std::vector<int32_t>{2, 0, -3}));
}

TEST(Classify, ScaleUsesTheLogScaleGrid) {
    const double l = std::log(1.0 + 0.02);
    Frames f = zeroed_frames(2, 2);
    for (int k = 0; k < 2; ++k) {
        test::scale_at(f, k, 0)[1] = 0.3f;                   // constant: static
        test::scale_at(f, k, 1)[0] = k == 0 ? -0.1f : 0.1f;  // moves by 0.2 > 2L: dynamic
    }
    const Classification cls = classify(f, Bounds{0.5, 0.02, 4, 4, 0});
    EXPECT_EQ(cls.mask_scale, (std::vector<uint8_t>{1, 0}));
    const auto r = [](double v) { return static_cast<int32_t>(std::round(v)); };
    EXPECT_EQ(cls.base_scale, (std::vector<int32_t>{0, r(double{0.3f} / l), 0, r(double{-0.1f} / l), 0, 0}));
    EXPECT_EQ(cls.mask_pos, (std::vector<uint8_t>{1, 1}));
}

// One splat whose first component of `attr` takes the listed values; the others stay 0.
struct IntCase {
    const char* name;
    Attr attr;
    int32_t bound;
    std::vector<int> values;
    uint8_t mask;
    int32_t base;
};

TEST(Classify, IntegerRule) {
    const IntCase cases[] = {
        {"colour 10/18 bound 4", kAttrRgb, 4, {10, 18}, 1, 14},
        {"colour 10/20 bound 4", kAttrRgb, 4, {10, 20}, 0, 10},
        {"colour bound 0, constant", kAttrRgb, 0, {7, 7, 7}, 1, 7},
        {"colour bound 0, one change", kAttrRgb, 0, {7, 7, 8}, 0, 7},
        {"colour bound near the 32-bit limit", kAttrRgb, INT32_MAX, {10, 20}, 1, 15},
        {"negative bound, constant colour", kAttrRgb, -1, {10, 10}, 0, 10},
        {"most negative bound", kAttrRgb, INT32_MIN, {10, 10}, 0, 10},
        {"rotation -3/0 bound 1", kAttrRot, 1, {-3, 0}, 0, -3},
        {"rotation -3/-1 bound 1", kAttrRot, 1, {-1, -3}, 1, -2},
        {"rotation extremes bound 127 (floored mid)", kAttrRot, 127, {-128, 127}, 0, -128},
        {"rotation extremes bound 128", kAttrRot, 128, {-128, 127}, 1, -1},
        {"opacity single frame", kAttrAlpha, 0, {200}, 1, 200},
        {"opacity 255/0 bound 127 (floored mid)", kAttrAlpha, 127, {255, 0}, 0, 255},
        {"opacity 255/0 bound 128", kAttrAlpha, 128, {255, 0}, 1, 127},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.name);
        Frames f = zeroed_frames(c.values.size(), 1);
        Bounds b{0.5, 0.02, 4, 4, 0};
        for (size_t k = 0; k < c.values.size(); ++k) {
            switch (c.attr) {
                case kAttrRgb:
                    test::rgb_at(f, k, 0)[0] = static_cast<uint8_t>(c.values[k]);
                    break;
                case kAttrAlpha:
                    test::alpha_at(f, k, 0)[0] = static_cast<uint8_t>(c.values[k]);
                    break;
                default:
                    test::rot_at(f, k, 0)[0] = static_cast<int16_t>(c.values[k]);
                    break;
            }
        }
        (c.attr == kAttrRgb ? b.rgb : c.attr == kAttrAlpha ? b.alpha : b.rot) = c.bound;
        const Classification cls = classify(f, b);
        const auto& mask = c.attr == kAttrRgb     ? cls.mask_rgb
                           : c.attr == kAttrAlpha ? cls.mask_alpha
                                                  : cls.mask_rot;
        const auto& base = c.attr == kAttrRgb     ? cls.base_rgb
                           : c.attr == kAttrAlpha ? cls.base_alpha
                                                  : cls.base_rot;
        EXPECT_EQ(mask[0], c.mask);
        EXPECT_EQ(base[0], c.base);
    }
}

TEST(Classify, DynamicIntegerBaseIsFrameZeroForEveryComponent) {
    Frames f = zeroed_frames(2, 1);
    const uint8_t f0[3] = {10, 50, 0};
    const uint8_t f1[3] = {18, 50, 100};  // component 0 alone would be static on 14
    std::copy_n(f0, 3, test::rgb_at(f, 0, 0));
    std::copy_n(f1, 3, test::rgb_at(f, 1, 0));
    const Classification cls = classify(f, Bounds{0.5, 0.02, 4, 4, 0});
    EXPECT_EQ(cls.mask_rgb[0], 0);
    EXPECT_EQ(cls.base_rgb, (std::vector<int32_t>{10, 50, 0}));
}

TEST(Classify, BoundingBoxFoldsRangesIgnoringNaN) {
    Frames f = zeroed_frames(2, 3);
    const float p[2][3][3] = {
        {{1.0f, kNaN, 2.0f}, {kNaN, kNaN, -4.0f}, {3.0f, kNaN, 0.5f}},
        {{-1.5f, kNaN, 2.0f}, {100.0f, 7.0f, -4.0f}, {kNaN, kNaN, 9.0f}},
    };
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 3; ++i) std::copy_n(p[k][i], 3, test::pos_at(f, k, i));
    const Classification cls = classify(f, Bounds{});
    // Splat 1's x is NaN in frame 0 so its range is NaN and ignored; y is NaN in every
    // range (a later value never replaces a frame-0 NaN) and keeps the empty box.
    const std::array<float, 6> want = {-1.5f, kBig, -4.0f, 3.0f, -kBig, 9.0f};
    EXPECT_EQ(cls.aabb, want);
}

}  // namespace
}  // namespace quorvex
