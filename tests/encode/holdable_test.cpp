// Input the bounds cannot hold is refused before encoding, naming the frame file, the splat
// and the attribute; NaN keeps flowing through encode and verify.

#include "encode/holdable.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/encode.hpp"
#include "support/frames_builder.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

using test::pos_at;
using test::scale_at;

TEST(Holdable, ComponentAgainstStep) {
    const double step = 0.004;  // the default position bound of 2 mm
    const double edge = kMaxHoldIndex * step;
    struct Case {
        float x;
        bool ok;
    };
    const Case cases[] = {
        {0.0f, true},
        {-1.5f, true},
        {kNan, true},
        {-kNan, true},
        {kInf, false},
        {-kInf, false},
        {3e38f, false},
        {-std::numeric_limits<float>::max(), false},
        {8e6f, true},  // index 2e9, inside int32
        {-8e6f, true},
        {std::nextafter(static_cast<float>(edge), 0.0f), true},
        {std::nextafter(static_cast<float>(edge), kInf), false},
        {9e6f, false},  // index 2.25e9 would saturate
    };
    for (const Case& c : cases) EXPECT_EQ(holdable(c.x, step), c.ok) << c.x;
}

// A frame directory with one bad component in frame 3, splat 17.
class HoldableFiles : public ::testing::Test {
  protected:
    void write(void (*spoil)(test::SplatRecord&)) {
        test::SynthParams p;
        p.t = 5;
        p.n = 24;
        p.seed = 3;
        const Frames f = test::make_frames(p);
        names = test::write_frames(dir.path(), f);
        auto records = test::frame_records(f, 3);
        spoil(records[17]);
        test::write_splats(dir / names[3], records);
    }
    std::string refusal() {
        auto f = Frames::load(dir.path(), std::nullopt);
        EXPECT_TRUE(f) << f.error().render();
        if (!f) return "";
        auto st = check_holdable(*f, Bounds{});
        return st ? "accepted" : st.error().render();
    }
    std::string file3() const { return (dir / names[3]).string(); }

    test::TempDir dir{"holdable"};
    std::vector<std::string> names;
};

TEST_F(HoldableFiles, InfinitePosition) {
    write([](test::SplatRecord& r) { r.pos[1] = kInf; });
    EXPECT_EQ(refusal(), file3() + ": splat 17 has a position that cannot be held within the bounds (inf)");
}

TEST_F(HoldableFiles, InfiniteScale) {
    // ln(inf) = inf in the log-scale plane.
    write([](test::SplatRecord& r) { r.scale[2] = kInf; });
    EXPECT_EQ(refusal(), file3() + ": splat 17 has a scale that cannot be held within the bounds (inf)");
}

TEST_F(HoldableFiles, HugeFinitePosition) {
    write([](test::SplatRecord& r) { r.pos[0] = -3e38f; });
    EXPECT_EQ(refusal(),
              file3() + ": splat 17 has a position that cannot be held within the bounds (-3e+38)");
}

TEST_F(HoldableFiles, NanIsAccepted) {
    write([](test::SplatRecord& r) {
        r.pos = {kNan, kNan, kNan};
        r.scale[0] = kNan;
    });
    EXPECT_EQ(refusal(), "accepted");
}

TEST(Holdable, FirstFailureByFrameThenSplatPositionFirst) {
    Frames f = zeroed_frames(4, 10);
    pos_at(f, 3, 0)[0] = kInf;
    pos_at(f, 2, 9)[2] = -kInf;
    scale_at(f, 2, 4)[1] = kInf;
    scale_at(f, 2, 6)[0] = kInf;
    pos_at(f, 2, 6)[2] = 1e30f;
    auto st = check_holdable(f, Bounds{});
    ASSERT_FALSE(st);
    // No file names in memory: the frame is named by its index.
    EXPECT_EQ(st.error().render(),
              "frame 2: splat 4 has a scale that cannot be held within the bounds (inf)");
    scale_at(f, 2, 4)[1] = 0.0f;
    EXPECT_EQ(check_holdable(f, Bounds{}).error().render(),
              "frame 2: splat 6 has a position that cannot be held within the bounds (1e+30)");
}

TEST(Holdable, TheBoundDecides) {
    // 5 km on a 2 mm grid is an index of 1.25e6; on a 1e-9 mm grid it is far beyond 32 bits.
    Frames f = zeroed_frames(2, 3);
    pos_at(f, 1, 2)[0] = 5000.0f;
    EXPECT_TRUE(check_holdable(f, Bounds{}));
    Bounds fine_pos;
    fine_pos.pos_m = 1e-12;
    EXPECT_FALSE(check_holdable(f, fine_pos));
    // A log scale of 69.3 (a scale of 2^100) is fine at 2 %, not on a 1e-9 relative grid.
    scale_at(f, 0, 1)[0] = 69.3f;
    EXPECT_TRUE(check_holdable(f, Bounds{}));
    Bounds fine_scale;
    fine_scale.scale_rel = 1e-9;
    EXPECT_FALSE(check_holdable(f, fine_scale));
}

// Values right at the edge, NaN, and failures spread over a plane large enough to be checked
// in many pieces: the first failure in frame-then-splat order is found, and values just inside
// the edge pass.
TEST(Holdable, EdgeValuesAcrossALargePlane) {
    const double step = steps_from(Bounds{}).pos;
    const float inside = std::nextafter(static_cast<float>(kMaxHoldIndex * step), 0.0f);
    const float outside = std::nextafter(static_cast<float>(kMaxHoldIndex * step), kInf);
    ASSERT_TRUE(holdable(inside, step));
    ASSERT_FALSE(holdable(outside, step));
    Frames f = zeroed_frames(3, 5000);
    pos_at(f, 0, 10)[1] = kNan;
    pos_at(f, 0, 2000)[0] = -inside;
    pos_at(f, 1, 4321)[2] = inside;
    pos_at(f, 2, 1)[0] = -outside;
    pos_at(f, 2, 4999)[2] = kInf;
    EXPECT_EQ(
        check_holdable(f, Bounds{}).error().render(),
        fmt::format("frame 2: splat 1 has a position that cannot be held within the bounds ({})", -outside));
    pos_at(f, 2, 1)[0] = inside;
    EXPECT_EQ(check_holdable(f, Bounds{}).error().render(),
              "frame 2: splat 4999 has a position that cannot be held within the bounds (inf)");
    pos_at(f, 2, 4999)[2] = -inside;
    EXPECT_TRUE(check_holdable(f, Bounds{}));
}

// What the check accepts, the encoder holds: NaN anywhere and positions close to the edge of
// the 32-bit index range encode and verify within the bounds.
TEST(Holdable, AcceptedInputEncodesAndVerifies) {
    struct Case {
        const char* what;
        Bounds bounds;
        float x;
    };
    Bounds tight;
    tight.pos_m = 0.0005;
    const Case cases[] = {
        {"default bound, index 2e9", Bounds{}, 8e6f},
        {"0.5 mm, index 2e9", tight, 2e6f},
        {"default bound, negative", Bounds{}, -8.5e6f},
    };
    for (const Case& c : cases) {
        test::SynthParams p;
        p.t = 6;
        p.n = 40;
        p.seed = 5;
        p.static_fraction = 0.3;
        Frames f = test::make_frames(p);
        for (uint64_t k = 0; k < f.t; ++k) {
            float* x = pos_at(f, k, 7);
            x[0] = c.x;
            x[1] = k % 2 ? -c.x : c.x;  // jumps across the whole range
            x[2] = kNan;
            scale_at(f, k, 3)[k % 3] = kNan;
        }
        ASSERT_TRUE(check_holdable(f, c.bounds)) << c.what;
        auto e = encode(f, c.bounds, 4, 1, false);
        ASSERT_TRUE(e) << c.what << ": " << e.error().render();
        auto dec = Decoder::from_bytes(e->bytes);
        ASSERT_TRUE(dec) << c.what << ": " << dec.error().render();
        auto rep = verify(*dec, f);
        ASSERT_TRUE(rep) << c.what << ": " << rep.error().render();
        EXPECT_TRUE(rep->ok) << c.what << ": pos " << rep->pos_err << " scale " << rep->scale_err;
    }
}

}  // namespace
}  // namespace quorvex
