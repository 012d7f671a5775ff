#include "encode/quant.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Quant, FloatQuantiserRoundsHalfAwayAndSaturates) {
    struct Case {
        float x;
        double step;
        int32_t want;
    };
    const Case cases[] = {
        {2.5f, 1.0, 3},
        {-2.5f, 1.0, -3},
        {0.5f, 1.0, 1},
        {-0.5f, 1.0, -1},
        {1.5f, 1.0, 2},
        {0.4999999f, 1.0, 0},
        {1.1f, 2.0, 1},
        {-0.0f, 1.0, 0},
        {kNaN, 2.0, 0},
        {1e30f, 2.0, INT32_MAX},
        {-1e30f, 2.0, INT32_MIN},
        {2147483648.0f, 1.0, INT32_MAX},
        {-2147483648.0f, 1.0, INT32_MIN},
        {-2147483520.0f, 1.0, -2147483520},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << " / " << c.step);
        EXPECT_EQ(quantize_f(c.x, c.step), c.want);
    }
}

TEST(Quant, FloatQuantiserKeepsTheLargestDoubleBelowOneHalfAtZero) {
    // 3 / (6 + 2^-50) rounds to 0.49999999999999994, the largest double below 0.5; adding a
    // plain 0.5 would round the sum up to 1.
    const double step = std::nextafter(6.0, 7.0);
    ASSERT_EQ(3.0 / step, 0.49999999999999994);
    EXPECT_EQ(quantize_f(3.0f, step), 0);
    EXPECT_EQ(quantize_f(-3.0f, step), 0);
}

TEST(Quant, BaseRoundingSaturates) {
    EXPECT_EQ(round_half_away_sat(2.5), 3);
    EXPECT_EQ(round_half_away_sat(-2.5), -3);
    EXPECT_EQ(round_half_away_sat(0.49999999999999994), 0);
    EXPECT_EQ(round_half_away_sat(std::nan("")), 0);
    EXPECT_EQ(round_half_away_sat(3e9), INT32_MAX);
    EXPECT_EQ(round_half_away_sat(-3e9), INT32_MIN);
    EXPECT_EQ(round_half_away_sat(2147483646.5), INT32_MAX);
    EXPECT_EQ(round_half_away_sat(-2147483647.5), INT32_MIN);
}

TEST(Quant, IntegerQuantiserUsesFloorDivision) {
    struct Case {
        int32_t v, step, want;
    };
    const Case cases[] = {
        {-2, 3, -1},
        {-1, 3, 0},
        {1, 3, 0},
        {2, 3, 1},
        {100, 9, 11},
        {106, 9, 12},
        {95, 9, 11},
        {-4, 9, 0},
        {-5, 9, -1},
        {-128, 1, -128},
        {255, 1, 255},
        // A negative step (negative bound) takes the floor of step / 2 as well.
        {5, -1, -4},
        {5, -9, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.v << " / " << c.step);
        EXPECT_EQ(quantize_i(c.v, c.step), c.want);
    }
}

TEST(Quant, IntegerQuantiserStaysWithinTheBound) {
    for (int32_t bound : {0, 1, 4, 127}) {
        const int32_t step = 2 * bound + 1;
        for (int32_t v = -128; v <= 255; ++v) {
            const int32_t q = quantize_i(v, step);
            ASSERT_LE(std::abs(v - q * step), bound) << v << " bound " << bound;
        }
    }
}

TEST(Quant, Zigzag) {
    struct Case {
        int32_t v;
        uint32_t u;
    };
    const Case cases[] = {
        {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {2, 4}, {INT32_MAX, 4294967294u}, {INT32_MIN, 4294967295u}};
    for (const Case& c : cases) {
        EXPECT_EQ(zigzag(c.v), c.u) << c.v;
        EXPECT_EQ(unzigzag(c.u), c.v) << c.u;
    }
}

}  // namespace
}  // namespace quorvex
