#include "encode/hold.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "support/frames_builder.hpp"

namespace quorvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(DynIndices, AscendingZeros) {
    const std::vector<uint8_t> mask = {1, 0, 0, 1, 0};
    EXPECT_EQ(dyn_indices(mask), (std::vector<uint32_t>{1, 2, 4}));
    EXPECT_TRUE(dyn_indices(std::vector<uint8_t>{1, 1}).empty());
    EXPECT_TRUE(dyn_indices(std::vector<uint8_t>{}).empty());
}

// One splat whose x follows `xs` (y and z stay 0); the held x index per frame.
std::vector<int32_t> held_x(const std::vector<float>& xs, double step, double bound) {
    std::vector<float> plane(xs.size() * 3, 0.0f);
    for (size_t k = 0; k < xs.size(); ++k) plane[k * 3] = xs[k];
    const std::vector<uint32_t> dyn = {0};
    const std::vector<int32_t> held = hold_f(plane, xs.size(), 1, dyn, step, bound);
    EXPECT_EQ(held.size(), xs.size() * 3);
    std::vector<int32_t> x;
    for (size_t k = 0; k < xs.size(); ++k) {
        x.push_back(held[k * 3]);
        EXPECT_EQ(held[k * 3 + 1], 0);
        EXPECT_EQ(held[k * 3 + 2], 0);
    }
    return x;
}

struct FloatCase {
    const char* name;
    double step, bound;
    std::vector<float> xs;
    std::vector<int32_t> held;
};

TEST(HoldF, SingleComponentSequences) {
    const FloatCase cases[] = {
        {"worked example", 2.0, 1.0, {0.0f, 0.6f, 1.1f, 2.4f}, {0, 0, 1, 1}},
        {"error exactly on the bound holds",
         1.0,
         0.5,
         {0.0f, 0.5f, -0.5f, std::nextafter(0.5f, 1.0f)},
         {0, 0, 0, 1}},
        {"slow drift jumps to the nearest index",
         2.0,
         1.0,
         {0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.25f, 1.5f, 2.0f, 3.0f, 3.25f},
         {0, 0, 0, 0, 0, 1, 1, 1, 1, 2}},
        {"halfway rounds away from zero", 2.0, 1.0, {5.0f}, {3}},
        {"negative halfway rounds away from zero", 2.0, 1.0, {-5.0f}, {-3}},
        {"t = 1 holds frame 0 only", 2.0, 1.0, {-0.9f}, {0}},
        {"NaN in frame 0 quantises to 0", 2.0, 1.0, {kNaN, 0.5f}, {0, 0}},
        {"NaN error never exceeds the bound", 2.0, 1.0, {4.0f, kNaN, 4.0f}, {2, 2, 2}},
        {"saturates and refreshes from a saturated index",
         2.0,
         1.0,
         {1e30f, -1e30f, 0.0f},
         {INT32_MAX, INT32_MIN, 0}},
        {"infinity saturates", 2.0, 1.0, {kInf, kInf, -kInf}, {INT32_MAX, INT32_MAX, INT32_MIN}},
    };
    for (const FloatCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(held_x(c.xs, c.step, c.bound), c.held);
    }
}

TEST(HoldF, OneComponentOverTheBoundRefreshesTheWholeSplat) {
    // x moves exactly by the bound (held alone) but re-quantises to 1 with the splat,
    // because z moves past the bound.
    const std::vector<float> plane = {0.0f, 0.0f, 0.0f, 1.0f, 0.9f, 5.0f, 1.0f, 0.9f, 5.5f};
    const std::vector<uint32_t> dyn = {0};
    EXPECT_EQ(hold_f(plane, 3, 1, dyn, 2.0, 1.0), (std::vector<int32_t>{0, 0, 0, 1, 0, 3, 1, 0, 3}));
}

TEST(HoldF, ReadsOnlyTheListedSplatsInTableLayout) {
    // Three splats, 2 frames; splat 1 is static and full of NaN; dynamic list {0, 2}.
    const std::vector<float> plane = {
        2.0f, 4.0f, 6.0f, kNaN, kNaN, kNaN, -2.0f, -4.0f, -6.0f,  // frame 0
        2.0f, 4.0f, 9.0f, kNaN, kNaN, kNaN, -2.0f, -4.0f, -6.5f,  // frame 1
    };
    const std::vector<uint32_t> dyn = {0, 2};
    const std::vector<int32_t> want = {1, 2, 3, -1, -2, -3,  // frame 0: splats 0, 2
                                       1, 2, 5, -1, -2, -3};
    EXPECT_EQ(hold_f(plane, 2, 3, dyn, 2.0, 1.0), want);
}

TEST(HoldF, NoDynamicSplatsGiveAnEmptyTable) {
    EXPECT_TRUE(hold_f(std::span<const float>{}, 4, 0, std::span<const uint32_t>{}, 2.0, 1.0).empty());
}

// hold_i over an m-component plane of int values, n = 1.
std::vector<int32_t> held_i(const std::vector<int>& plane, size_t m, int32_t step, int32_t bound) {
    const auto value = [&](uint64_t f, uint64_t s, size_t k) -> int32_t { return plane[(f + s) * m + k]; };
    const std::vector<uint32_t> dyn = {0};
    return hold_i(value, plane.size() / m, m, dyn, step, bound);
}

struct IntCase {
    const char* name;
    int32_t step, bound;
    size_t m;
    std::vector<int> values;
    std::vector<int32_t> held;
};

TEST(HoldI, Sequences) {
    const IntCase cases[] = {
        {"worked example", 9, 4, 1, {100, 103, 106, 95}, {11, 11, 12, 11}},
        {"error exactly on the bound holds", 9, 4, 1, {100, 103, 95, 104}, {11, 11, 11, 12}},
        {"bound 0 is lossless", 1, 0, 1, {5, 5, 6, 6, 4}, {5, 5, 6, 6, 4}},
        {"negative values use floor division", 3, 1, 1, {-2, -1, -4, -5}, {-1, 0, -1, -2}},
        {"rotation refreshes all four components",
         3,
         1,
         4,
         {-2, -1, 1, 2, /**/ -1, -1, 1, 5, /**/ -1, 0, 2, 5},
         {-1, 0, 0, 1, /**/ 0, 0, 0, 2, /**/ 0, 0, 1, 2}},
        {"rotation extremes",
         255,
         127,
         4,
         {-128, 127, 0, 1, /**/ 127, -128, 0, 1},
         {-1, 0, 0, 0, /**/ 0, -1, 0, 0}},
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(held_i(c.values, c.m, c.step, c.bound), c.held);
    }
}

// The dynamic splats of a random mask in which one splat in `one_in` is static.
std::vector<uint32_t> random_dyn(uint64_t n, uint64_t seed, uint64_t one_in) {
    std::vector<uint8_t> mask(n);
    test::SplitMix64 rng{seed};
    for (uint8_t& b : mask) b = static_cast<uint8_t>(rng.below(one_in) == 0);
    return dyn_indices(mask);
}

// The rotation plane of f as the integer hold reads it.
auto rot_of(const Frames& f) {
    return [&f](uint64_t fr, uint64_t s, size_t k) -> int32_t { return f.rot[(fr * f.n + s) * 4 + k]; };
}

TEST(Hold, DeterministicForAnyThreadCount) {
    const Frames f = test::random_frames(6, 300, 5);
    const std::vector<uint32_t> dyn = random_dyn(f.n, 9, 3);
    const auto rot = rot_of(f);
    std::vector<std::vector<int32_t>> pos_tables, rot_tables;
    for (int threads : {1, 2, 4}) {
        test::with_threads(threads, [&] {
            pos_tables.push_back(hold_f(f.pos, f.t, f.n, dyn, 1.0, 0.5));
            rot_tables.push_back(hold_i(rot, f.t, 4, dyn, 5, 2));
        });
    }
    ASSERT_EQ(pos_tables[0].size(), f.t * dyn.size() * 3);
    ASSERT_EQ(rot_tables[0].size(), f.t * dyn.size() * 4);
    EXPECT_EQ(pos_tables[0], pos_tables[1]);
    EXPECT_EQ(pos_tables[0], pos_tables[2]);
    EXPECT_EQ(rot_tables[0], rot_tables[1]);
    EXPECT_EQ(rot_tables[0], rot_tables[2]);
}

// The encoder runs the hold one GOP at a time, carrying the last held row from one frame range
// to the next, over more dynamic splats than one task takes: the rows must be those of the
// whole-sequence table.
TEST(Hold, FrameRangesWithCarryMatchTheWholeTable) {
    const Frames f = test::random_frames(9, 2600, 3);
    const std::vector<uint32_t> dyn = random_dyn(f.n, 4, 5);
    ASSERT_GT(dyn.size(), kHoldChunk);
    const auto rot = rot_of(f);
    const std::vector<int32_t> pos_table = hold_f(f.pos, f.t, f.n, dyn, 1.0, 0.5);
    const std::vector<int32_t> rot_table = hold_i(rot, f.t, 4, dyn, 3, 1);

    for (int threads : {1, 3}) {
        test::with_threads(threads, [&] {
            const size_t d = dyn.size();
            std::vector<int32_t> pos(pos_table.size(), -7), rot_rows(rot_table.size(), -7);
            std::vector<int32_t> pos_carry(d * 3, -7), rot_carry(d * 4, -7);
            // Frame ranges 0..3, 4..4, 5..8, as GOPs of unequal length would cut them.
            for (auto [b, e] : {std::pair<uint64_t, uint64_t>{0, 4}, {4, 5}, {5, 9}}) {
                hold_f_rows(f.pos, f.n, dyn, 1.0, 0.5, b, e, pos_carry.data(),
                            [&](uint64_t fr, size_t j0, size_t j1, const int32_t* cur, const int32_t* prev) {
                                EXPECT_EQ(prev == nullptr, fr == 0);
                                std::copy(cur, cur + (j1 - j0) * 3, pos.begin() + (fr * d + j0) * 3);
                            });
                hold_i_rows(rot, 4, dyn, 3, 1, b, e, rot_carry.data(),
                            [&](uint64_t fr, size_t j0, size_t j1, const int32_t* cur, const int32_t*) {
                                std::copy(cur, cur + (j1 - j0) * 4, rot_rows.begin() + (fr * d + j0) * 4);
                            });
            }
            EXPECT_EQ(pos, pos_table);
            EXPECT_EQ(rot_rows, rot_table);
            // The carry ends on the last frame's held row.
            EXPECT_TRUE(std::equal(pos_carry.begin(), pos_carry.end(),
                                   pos_table.end() - static_cast<ptrdiff_t>(d * 3)));
        });
    }
}

}  // namespace
}  // namespace quorvex
