#include "encode/catalogue.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encode/quant.hpp"
#include "model/attribute.hpp"

namespace quorvex {
namespace {

TEST(Bitmap, FirstSplatOfEightIsTheTopBit) {
    EXPECT_EQ(bitmap(std::vector<uint8_t>{1, 0, 1, 0, 0, 0, 0, 1, 1}), (std::vector<uint32_t>{0xA1, 0x80}));
    EXPECT_EQ(bitmap(std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0}), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(bitmap(std::vector<uint8_t>(16, 1)), (std::vector<uint32_t>{255, 255}));
    EXPECT_EQ(bitmap(std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}),
              (std::vector<uint32_t>{0, 0x20}));
    EXPECT_TRUE(bitmap(std::vector<uint8_t>{}).empty());
}

TEST(SpatialDelta, Triples) {
    struct Case {
        const char* name;
        std::vector<int32_t> in;
        std::vector<uint32_t> out;
    };
    const Case cases[] = {
        {"worked example", {5, 5, 5, 6, 4, 5}, {10, 10, 10, 2, 1, 0}},
        {"trailing partial triple dropped", {5, 5, 5, 6, 4, 5, 9}, {10, 10, 10, 2, 1, 0}},
        {"shorter than a triple", {1, 2}, {}},
        {"empty", {}, {}},
        {"differences wrap",
         {INT32_MIN, INT32_MAX, 0, INT32_MAX, INT32_MIN, 0},
         {4294967295u, 4294967294u, 0, 1, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(spatial_delta(c.in), c.out);
    }
}

TEST(StaticStreams, CatalogueOrderNamesAndValues) {
    FrontEnd fe;
    fe.mask_pos = {1, 0};
    fe.mask_rot = {0, 1};
    fe.mask_rgb = {1, 1};
    fe.mask_alpha = {0, 0};
    fe.mask_scale = {1, 0};
    fe.base_pos = {5, 5, 5, 6, 4, 5};
    fe.base_scale = {-1, 0, 1, -1, 0, 1};
    fe.base_rgb = {0, 128, 255, 1, 2, 3};
    fe.base_alpha = {7, 250};
    fe.base_rot = {-128, 0, 127, -1, 1, 2, 3, 4};
    const std::vector<NamedStream> s = static_streams(fe);

    const char* names[] = {"mask_pos", "mask_rot",   "mask_rgb", "mask_alpha", "mask_scale",
                           "base_pos", "base_scale", "base_rgb", "base_alpha", "base_rot"};
    const uint8_t attrs[] = {0, 1, 2, 3, 4, 0, 4, 2, 3, 1};
    ASSERT_EQ(s.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(s[i].name, names[i]);
        EXPECT_EQ(s[i].stream.attr, attrs[i]);
        EXPECT_EQ(s[i].stream.kind, kKindStatic);
    }
    EXPECT_EQ(s[0].stream.values, (std::vector<uint32_t>{0x80}));
    EXPECT_EQ(s[1].stream.values, (std::vector<uint32_t>{0x40}));
    EXPECT_EQ(s[2].stream.values, (std::vector<uint32_t>{0xC0}));
    EXPECT_EQ(s[3].stream.values, (std::vector<uint32_t>{0}));
    EXPECT_EQ(s[4].stream.values, (std::vector<uint32_t>{0x80}));
    EXPECT_EQ(s[5].stream.values, (std::vector<uint32_t>{10, 10, 10, 2, 1, 0}));
    EXPECT_EQ(s[6].stream.values, (std::vector<uint32_t>{1, 0, 2, 0, 0, 0}));
    EXPECT_EQ(s[7].stream.values, (std::vector<uint32_t>{0, 128, 255, 1, 2, 3}));
    EXPECT_EQ(s[8].stream.values, (std::vector<uint32_t>{7, 250}));
    EXPECT_EQ(s[9].stream.values, (std::vector<uint32_t>{0, 128, 255, 127, 129, 130, 131, 132}));
}

TEST(StaticStreams, AllTenPresentWithoutSplats) {
    const std::vector<NamedStream> s = static_streams(FrontEnd{});
    ASSERT_EQ(s.size(), 10u);
    for (const NamedStream& n : s) EXPECT_TRUE(n.stream.values.empty()) << n.name;
}

// Held table of t frames, d splats, m components with entry (f, j, k) = value(f, j, k).
template <class Fn>
std::vector<int32_t> table(size_t t, size_t d, size_t m, Fn value) {
    std::vector<int32_t> held(t * d * m);
    for (size_t f = 0; f < t; ++f)
        for (size_t j = 0; j < d; ++j)
            for (size_t k = 0; k < m; ++k) held[(f * d + j) * m + k] = value(f, j, k);
    return held;
}

TEST(GopValues, SizesOfAThirtyFrameGop) {
    const auto held =
        table(60, 2, 3, [](size_t f, size_t j, size_t k) { return static_cast<int32_t>(f * 7 + j * 3 + k); });
    const GopValues g = gop_values(held, 2, 3, 30, 59);
    EXPECT_EQ(g.key.size(), 6u);
    EXPECT_EQ(g.delta.size(), 174u);
    // Key: the indices held at f0 itself; every delta is +7 per frame.
    EXPECT_EQ(g.key, (std::vector<uint32_t>{zigzag(210), zigzag(211), zigzag(212), zigzag(213), zigzag(214),
                                            zigzag(215)}));
    EXPECT_EQ(g.delta, std::vector<uint32_t>(174, zigzag(7)));
}

TEST(GopValues, DeltasAreZigzaggedFrameDifferences) {
    // One splat, one component: 5, 5, 6, 5, then across the 32-bit limit.
    const std::vector<int32_t> held = {5, 5, 6, 5, INT32_MAX, INT32_MIN};
    const GopValues g = gop_values(held, 1, 1, 0, 5);
    EXPECT_EQ(g.key, (std::vector<uint32_t>{10}));
    EXPECT_EQ(g.delta, (std::vector<uint32_t>{0, 2, 1, zigzag(INT32_MAX - 5), zigzag(1)}));
}

TEST(GopValues, FrameOrderThenSplatThenComponent) {
    const auto held = table(3, 2, 2, [](size_t f, size_t j, size_t k) {
        return static_cast<int32_t>(f == 0 ? 0 : (f * 100 + j * 10 + k) * (f == 2 ? -1 : 1));
    });
    const GopValues g = gop_values(held, 2, 2, 1, 2);
    EXPECT_EQ(g.key, (std::vector<uint32_t>{zigzag(100), zigzag(101), zigzag(110), zigzag(111)}));
    EXPECT_EQ(g.delta, (std::vector<uint32_t>{zigzag(-300), zigzag(-302), zigzag(-320), zigzag(-322)}));
}

TEST(GopValues, SingleFrameGopHasNoDelta) {
    const std::vector<int32_t> held = {1, -1, 2, -2};
    const GopValues g = gop_values(held, 2, 1, 1, 1);
    EXPECT_EQ(g.key, (std::vector<uint32_t>{4, 3}));
    EXPECT_TRUE(g.delta.empty());
}

}  // namespace
}  // namespace quorvex
