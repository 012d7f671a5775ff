#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "encode/front_end.hpp"
#include "support/frames_builder.hpp"

namespace quorvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint64_t kMortonX = 0x0249249249249249ull;  // every x bit: 0, 3, …, 57
constexpr uint64_t kMortonY = 0x0092492492492492ull;  // every y bit: 1, 4, …, 55
constexpr uint64_t kMortonZ = 0x0124924924924924ull;  // every z bit: 2, 5, …, 56

struct KeyCase {
    const char* name;
    uint8_t pattern;
    std::array<float, 3> pos;
    double cell;
    uint64_t key;
};

TEST(SortKey, Layout) {
    const std::array<float, 6> box = {0.0f, 0.0f, 0.0f, 10.0f, 10.0f, 10.0f};
    const KeyCase cases[] = {
        {"all dynamic at the minimum corner", 31, {0.0f, 0.0f, 0.0f}, 1.0, 0x7C00000000000000ull},
        {"cells (3, 1, 0)", 1, {3.7f, 1.2f, 0.0f}, 1.0, (1ull << 58) + 11},
        {"z cell 1 is bit 2", 0, {0.0f, 0.0f, 1.5f}, 1.0, 4},
        {"x cell 2^20 drops its only bit", 2, {1048576.0f, 0.0f, 0.0f}, 1.0, 2ull << 58},
        {"x cell 2^20 - 1 keeps all", 0, {1048575.0f, 0.0f, 0.0f}, 1.0, kMortonX},
        {"x cell 3000000 is capped first", 0, {3000000.0f, 0.0f, 0.0f}, 1.0, kMortonX},
        {"y cell 2^19 drops its only bit", 0, {0.0f, 524288.0f, 0.0f}, 1.0, 0},
        {"y cell 3000000 is capped first", 0, {0.0f, 3000000.0f, 0.0f}, 1.0, kMortonY},
        {"z cell 2^19 + 5", 0, {0.0f, 0.0f, 524293.0f}, 1.0, 0x104},
        {"every cell beyond 2^64",
         31,
         {1e30f, 1e30f, 1e30f},
         1e-10,
         (31ull << 58) | kMortonX | kMortonY | kMortonZ},
        {"NaN and negative cells are 0", 4, {kNaN, -3.0f, -0.5f}, 1.0, 4ull << 58},
        {"fractions truncate", 0, {0.999f, 1.999f, 0.0f}, 1.0, 2},
        {"cell size 0 at the minimum (0/0)", 0, {0.0f, 5.0f, 0.0f}, 0.0, kMortonY},
        {"cell size 0.5 from a pos_m of 0.25", 0, {1.0f, 0.0f, 0.0f}, 0.5, 8},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sort_key(c.pattern, c.pos.data(), box, c.cell), c.key);
    }
}

TEST(SortKey, CellsCountFromTheBoxMinimum) {
    const std::array<float, 6> box = {-2.0f, 10.0f, -0.5f, 0.0f, 20.0f, 1.0f};
    const float p[3] = {1.0f, 11.0f, 0.5f};  // cells (3, 1, 1)
    EXPECT_EQ(sort_key(0, p, box, 1.0), uint64_t{1 | 8 | 2 | 4});
}

// Patterns of the four splats below: 5 (pos + rgb), 4 (rgb), 1 (pos) and 0, placed so that
// their Morton codes descend in the opposite order.
Frames four_patterns() {
    Frames f = zeroed_frames(2, 4);
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < 4; ++i) {
            float* p = test::pos_at(f, k, i);
            p[0] = p[1] = p[2] = static_cast<float>(3 - i) * 10.0f;
        }
        test::pos_at(f, k, 0)[0] += static_cast<float>(k);  // splat 0: position dynamic
        test::pos_at(f, k, 2)[0] += static_cast<float>(k);  // splat 2: position dynamic
        test::rgb_at(f, k, 0)[1] = static_cast<uint8_t>(100 * k);
        test::rgb_at(f, k, 1)[1] = static_cast<uint8_t>(100 * k);
    }
    return f;
}

TEST(FrontEnd, SortsByPatternBeforePosition) {
    Frames f = four_patterns();
    const FrontEnd fe = front_end(f, Bounds{});
    EXPECT_EQ(fe.perm, (std::vector<uint32_t>{3, 2, 1, 0}));
    EXPECT_EQ(fe.groups, (std::vector<Group>{{0, 1}, {1, 1}, {4, 1}, {5, 1}}));
    EXPECT_EQ(fe.mask_pos, (std::vector<uint8_t>{1, 0, 1, 0}));
    EXPECT_EQ(fe.mask_rgb, (std::vector<uint8_t>{1, 1, 0, 0}));
}

TEST(FrontEnd, UniformSequencesFormOneGroup) {
    Frames still = zeroed_frames(3, 5);
    EXPECT_EQ(front_end(still, Bounds{}).groups, (std::vector<Group>{{0, 5}}));

    Frames moving = zeroed_frames(2, 5);
    for (uint64_t i = 0; i < 5; ++i) {
        test::pos_at(moving, 1, i)[0] = 1.0f;
        test::scale_at(moving, 1, i)[0] = 1.0f;
        test::rgb_at(moving, 1, i)[0] = 100;
        test::alpha_at(moving, 1, i)[0] = 100;
        test::rot_at(moving, 1, i)[0] = 100;
    }
    const FrontEnd fe = front_end(moving, Bounds{});
    EXPECT_EQ(fe.groups, (std::vector<Group>{{31, 5}}));
    EXPECT_EQ(fe.perm, (std::vector<uint32_t>{0, 1, 2, 3, 4}));  // equal keys keep input order
}

TEST(FrontEnd, SingleSplat) {
    Frames f = zeroed_frames(2, 1);
    test::alpha_at(f, 1, 0)[0] = 50;
    const FrontEnd fe = front_end(f, Bounds{});
    EXPECT_EQ(fe.perm, (std::vector<uint32_t>{0}));
    EXPECT_EQ(fe.groups, (std::vector<Group>{{8, 1}}));
    EXPECT_EQ(fe.base_alpha, (std::vector<uint8_t>{0}));
}

TEST(FrontEnd, NoSplats) {
    Frames f = zeroed_frames(3, 0);
    const FrontEnd fe = front_end(f, Bounds{});
    EXPECT_TRUE(fe.perm.empty());
    EXPECT_TRUE(fe.groups.empty());
    EXPECT_TRUE(fe.base_rot.empty());
    const std::array<float, 6> empty_box = {3.4028235e38f,  3.4028235e38f,  3.4028235e38f,
                                            -3.4028235e38f, -3.4028235e38f, -3.4028235e38f};
    EXPECT_EQ(fe.aabb, empty_box);
}

TEST(FrontEnd, NoFramesLeavesEverySplatStatic) {
    Frames f = zeroed_frames(0, 3);
    const FrontEnd fe = front_end(f, Bounds{});
    EXPECT_EQ(fe.perm, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(fe.groups, (std::vector<Group>{{0, 3}}));
    EXPECT_EQ(fe.base_pos, std::vector<int32_t>(9, 0));
    EXPECT_TRUE(f.pos.empty());
}

template <class T>
void expect_gathered(const std::vector<T>& now, const std::vector<T>& before, uint64_t t, uint64_t n,
                     size_t c, const std::vector<uint32_t>& perm) {
    ASSERT_EQ(now.size(), before.size());
    for (uint64_t k = 0; k < t; ++k)
        for (uint64_t j = 0; j < n; ++j)
            for (size_t m = 0; m < c; ++m)
                ASSERT_EQ(
                    std::memcmp(&now[(k * n + j) * c + m], &before[(k * n + perm[j]) * c + m], sizeof(T)), 0)
                    << "frame " << k << " splat " << j << " component " << m;
}

template <class Out, class In>
std::vector<Out> gathered(const std::vector<In>& v, const std::vector<uint32_t>& perm, size_t c) {
    std::vector<Out> out;
    for (uint32_t p : perm)
        for (size_t m = 0; m < c; ++m) out.push_back(static_cast<Out>(v[p * c + m]));
    return out;
}

TEST(FrontEnd, ReordersFramesAndClassificationIntoFileOrder) {
    const Bounds bounds{0.5, 0.05, 4, 4, 2};
    const Frames before = test::random_frames(4, 120, 7);
    Frames f = before;
    const Classification cls = classify(before, bounds);
    const FrontEnd fe = front_end(f, bounds);

    std::vector<uint32_t> sorted = fe.perm;
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> iota(120);
    std::iota(iota.begin(), iota.end(), 0u);
    ASSERT_EQ(sorted, iota);

    expect_gathered(f.pos, before.pos, 4, 120, 3, fe.perm);
    expect_gathered(f.scale_log, before.scale_log, 4, 120, 3, fe.perm);
    expect_gathered(f.rgb, before.rgb, 4, 120, 3, fe.perm);
    expect_gathered(f.alpha, before.alpha, 4, 120, 1, fe.perm);
    expect_gathered(f.rot, before.rot, 4, 120, 4, fe.perm);

    EXPECT_EQ(fe.mask_pos, gathered<uint8_t>(cls.mask_pos, fe.perm, 1));
    EXPECT_EQ(fe.mask_rot, gathered<uint8_t>(cls.mask_rot, fe.perm, 1));
    EXPECT_EQ(fe.mask_rgb, gathered<uint8_t>(cls.mask_rgb, fe.perm, 1));
    EXPECT_EQ(fe.mask_alpha, gathered<uint8_t>(cls.mask_alpha, fe.perm, 1));
    EXPECT_EQ(fe.mask_scale, gathered<uint8_t>(cls.mask_scale, fe.perm, 1));
    EXPECT_EQ(fe.base_pos, gathered<int32_t>(cls.base_pos, fe.perm, 3));
    EXPECT_EQ(fe.base_scale, gathered<int32_t>(cls.base_scale, fe.perm, 3));
    EXPECT_EQ(fe.base_rgb, gathered<uint8_t>(cls.base_rgb, fe.perm, 3));
    EXPECT_EQ(fe.base_alpha, gathered<uint8_t>(cls.base_alpha, fe.perm, 1));
    EXPECT_EQ(fe.base_rot, gathered<int16_t>(cls.base_rot, fe.perm, 4));
    EXPECT_EQ(fe.aabb, cls.aabb);

    // Keys ascend in file order, equal keys by input index; the groups are the pattern runs.
    uint64_t prev_key = 0;
    uint32_t prev_index = 0;
    std::vector<Group> runs;
    for (size_t j = 0; j < fe.perm.size(); ++j) {
        const uint32_t i = fe.perm[j];
        const int pattern = (fe.mask_pos[j] | fe.mask_rot[j] << 1 | fe.mask_rgb[j] << 2 |
                             fe.mask_alpha[j] << 3 | fe.mask_scale[j] << 4) ^
                            31;
        const uint64_t key =
            sort_key(static_cast<uint8_t>(pattern), before.pos.data() + i * 3, cls.aabb, 1.0);
        if (j > 0) {
            EXPECT_TRUE(key > prev_key || (key == prev_key && i > prev_index)) << "position " << j;
        }
        prev_key = key;
        prev_index = i;
        if (runs.empty() || runs.back().mask != pattern)
            runs.push_back(Group{static_cast<uint8_t>(pattern), 1});
        else
            ++runs.back().count;
    }
    EXPECT_EQ(fe.groups, runs);
    EXPECT_GT(runs.size(), 8u);  // the fixture mixes many patterns
}

TEST(Permute, GathersEveryFrame) {
    std::vector<int16_t> plane(2 * 3 * 4);
    std::iota(plane.begin(), plane.end(), int16_t{0});
    const std::vector<uint32_t> perm = {2, 0, 1};
    permute(plane, 3, 4, perm);
    const std::vector<int16_t> want = {8,  9,  10, 11, 0,  1,  2,  3,  4,  5,  6,  7,
                                       20, 21, 22, 23, 12, 13, 14, 15, 16, 17, 18, 19};
    EXPECT_EQ(plane, want);
}

TEST(SortPermutation, SameAsStableSortForAnyThreadCount) {
    // Large enough for the parallel sort to split, with heavy ties.
    test::SplitMix64 rng{11};
    std::vector<uint64_t> keys(20000);
    for (uint64_t& k : keys) k = (rng.below(16) << 58) | rng.below(3);
    std::vector<uint32_t> want(keys.size());
    std::iota(want.begin(), want.end(), 0u);
    std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
    for (int threads : {1, 2, 4}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(test::with_threads(threads, [&] { return sort_permutation(keys); }), want);
    }
}

struct Outcome {
    FrontEnd fe;
    Frames frames;
};

void expect_same(const Outcome& a, const Outcome& b) {
    EXPECT_EQ(a.fe.perm, b.fe.perm);
    EXPECT_EQ(a.fe.groups, b.fe.groups);
    EXPECT_EQ(a.fe.mask_pos, b.fe.mask_pos);
    EXPECT_EQ(a.fe.mask_rot, b.fe.mask_rot);
    EXPECT_EQ(a.fe.mask_rgb, b.fe.mask_rgb);
    EXPECT_EQ(a.fe.mask_alpha, b.fe.mask_alpha);
    EXPECT_EQ(a.fe.mask_scale, b.fe.mask_scale);
    EXPECT_EQ(a.fe.base_pos, b.fe.base_pos);
    EXPECT_EQ(a.fe.base_scale, b.fe.base_scale);
    EXPECT_EQ(a.fe.base_rgb, b.fe.base_rgb);
    EXPECT_EQ(a.fe.base_alpha, b.fe.base_alpha);
    EXPECT_EQ(a.fe.base_rot, b.fe.base_rot);
    EXPECT_EQ(std::memcmp(a.fe.aabb.data(), b.fe.aabb.data(), sizeof(a.fe.aabb)), 0);
    // Bitwise, so that NaN positions compare too.
    ASSERT_EQ(a.frames.pos.size(), b.frames.pos.size());
    EXPECT_EQ(std::memcmp(a.frames.pos.data(), b.frames.pos.data(), a.frames.pos.size() * 4), 0);
    EXPECT_EQ(
        std::memcmp(a.frames.scale_log.data(), b.frames.scale_log.data(), a.frames.scale_log.size() * 4), 0);
    EXPECT_EQ(a.frames.rgb, b.frames.rgb);
    EXPECT_EQ(a.frames.alpha, b.frames.alpha);
    EXPECT_EQ(a.frames.rot, b.frames.rot);
}

TEST(FrontEnd, DeterministicForAnyThreadCount) {
    const Bounds bounds{0.5, 0.05, 4, 4, 2};
    const Frames input = test::random_frames(4, 300, 3);
    std::vector<Outcome> outcomes;
    for (int threads : {1, 2, 4}) {
        outcomes.push_back(test::with_threads(threads, [&] {
            Outcome r{FrontEnd{}, input};
            r.fe = front_end(r.frames, bounds);
            return r;
        }));
    }
    expect_same(outcomes[0], outcomes[1]);
    expect_same(outcomes[0], outcomes[2]);
}

}  // namespace
}  // namespace quorvex
