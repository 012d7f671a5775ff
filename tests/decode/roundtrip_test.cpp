// Encode → open → verify / reconstruct over small synthetic sequences, and the container's
// structural invariants.

#include <fmt/core.h>
#include <gtest/gtest.h>

#include <cmath>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/container.hpp"
#include "encode/encode.hpp"
#include "model/splat.hpp"
#include "support/bytes.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

using test::make_frames;
using test::SynthParams;

Encoded encode_ok(Frames& f, const Bounds& b, uint64_t gop, int32_t level = 3, bool denoised = false) {
    auto e = encode(f, b, gop, level, denoised);
    EXPECT_TRUE(e) << (e ? "" : e.error().render());
    return e ? std::move(*e) : Encoded{};
}

struct Case {
    const char* name;
    SynthParams p;
    Bounds b;
    uint64_t gop;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(RoundTrip, VerifiesWithinBoundsAndReconstructs) {
    const Case& c = GetParam();
    Frames f = make_frames(c.p);
    Encoded e = encode_ok(f, c.b, c.gop);
    auto dec = Decoder::from_bytes(e.bytes);
    ASSERT_TRUE(dec) << dec.error().render();
    EXPECT_EQ(dec->header, e.header);
    auto rep = verify(*dec, f);
    ASSERT_TRUE(rep) << rep.error().render();
    EXPECT_TRUE(rep->ok) << "pos " << rep->pos_err << " scale " << rep->scale_err << " rgb " << rep->rgb_err
                         << " alpha " << rep->alpha_err << " rot " << rep->rot_err;
    EXPECT_LE(rep->rgb_err, c.b.rgb);
    EXPECT_LE(rep->rot_err, c.b.rot);

    // Every frame reconstructs to records whose integer fields match the verified bounds.
    for (uint64_t k = 0; k < f.t; ++k) {
        auto rec = reconstruct_frame(*dec, k);
        ASSERT_TRUE(rec) << rec.error().render();
        ASSERT_EQ(rec->size(), f.n * kSplatBytes);
        for (uint64_t i = 0; i < f.n; ++i) {
            const uint8_t* r = rec->data() + i * kSplatBytes;
            for (size_t j = 0; j < 3; ++j) {
                const float p = load_f32(r + kSplatPosOffset + 4 * j);
                const float ref = f.pos[(k * f.n + i) * 3 + j];
                if (std::isfinite(ref)) {
                    EXPECT_LE(std::fabs(double(p) - ref), c.b.pos_m * 1.0001 + 1e-6);
                }
                EXPECT_LE(std::abs(int(r[kSplatRgbOffset + j]) - int(f.rgb[(k * f.n + i) * 3 + j])), c.b.rgb);
            }
            EXPECT_LE(std::abs(int(r[kSplatAlphaOffset]) - int(f.alpha[k * f.n + i])), c.b.alpha);
            for (size_t j = 0; j < 4; ++j)
                EXPECT_LE(std::abs(int(r[kSplatRotOffset + j]) - 128 - int(f.rot[(k * f.n + i) * 4 + j])),
                          c.b.rot);
        }
    }
}

SynthParams params(uint64_t t, uint64_t n, uint64_t seed, double stat, float drift, int flicker = 0) {
    SynthParams p;
    p.t = t;
    p.n = n;
    p.seed = seed;
    p.static_fraction = stat;
    p.drift = drift;
    p.colour_flicker = flicker;
    p.jitter = 0.0005f;
    p.flip_fraction = 0.1;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, RoundTrip,
    ::testing::Values(Case{"defaults", params(12, 200, 1, 0.5, 0.01f, 3), Bounds{}, 5},
                      Case{"lossless_ints", params(7, 150, 2, 0.3, 0.02f, 5), Bounds{0.001, 0.01, 0, 0, 0},
                           3},
                      Case{"coarse", params(10, 120, 3, 0.0, 0.05f, 8), Bounds{0.01, 0.1, 10, 10, 6}, 4},
                      Case{"single_frame", params(1, 100, 4, 0.5, 0.01f), Bounds{}, 30},
                      Case{"gop_equals_t", params(6, 64, 5, 0.5, 0.01f), Bounds{}, 6},
                      Case{"gop_one", params(5, 64, 6, 0.2, 0.01f, 2), Bounds{}, 1},
                      Case{"gop_t_plus_one", params(6, 64, 7, 0.2, 0.01f, 2), Bounds{}, 7},
                      Case{"single_splat", params(9, 1, 8, 0.0, 0.01f, 2), Bounds{}, 4}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Container, LayoutInvariants) {
    SynthParams p = params(11, 90, 9, 0.4, 0.02f, 4);
    Frames f = make_frames(p);
    Encoded e = encode_ok(f, Bounds{}, 4);
    const Header& h = e.header;
    ASSERT_EQ(h.gops.size(), 3u);
    EXPECT_EQ(load_u32(e.bytes.data() + 8) + kPreambleBytes, h.static_section.offset);
    EXPECT_EQ(h.gops[0].offset, h.static_section.offset + h.static_section.len);
    for (size_t g = 1; g < h.gops.size(); ++g)
        EXPECT_EQ(h.gops[g].offset, h.gops[g - 1].offset + h.gops[g - 1].len);
    EXPECT_EQ(h.gops.back().offset + h.gops.back().len, e.bytes.size());
    EXPECT_EQ(e.output_bytes, e.bytes.size());
    EXPECT_EQ(e.input_bytes, 11u * 90u * 32u);
    EXPECT_EQ((std::pair{h.gops[2].f0, h.gops[2].f1}), (std::pair{uint64_t{8}, uint64_t{10}}));

    // Static packed sizes add up to the static section; each GOP's to its len minus the count.
    uint64_t static_sum = 0;
    for (size_t i = 0; i < 10; ++i) static_sum += e.streams[i].packed;
    EXPECT_EQ(static_sum, h.static_section.len);
    for (size_t g = 0; g < h.gops.size(); ++g) {
        uint64_t sum = 2;
        const std::string prefix = fmt::format("g{}.", g);
        for (const auto& s : e.streams)
            if (s.name.rfind(prefix, 0) == 0) sum += s.packed;
        EXPECT_EQ(sum, h.gops[g].len) << "gop " << g;
    }
    // GOP sections hold keys before deltas although the job list alternates.
    const uint8_t* sec = e.bytes.data() + h.gops[0].offset;
    const uint16_t count = load_u16(sec);
    bool seen_delta = false;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t kind = sec[2 + 11 * i + 1];
        if (kind == kKindDelta) seen_delta = true;
        EXPECT_FALSE(seen_delta && kind == kKindKey);
    }
    EXPECT_TRUE(seen_delta);
}

TEST(Container, AllStaticHasEmptyGopSections) {
    SynthParams p = params(5, 40, 10, 1.0, 0.0f);
    p.jitter = 0.0f;
    p.flip_fraction = 0.0;
    Frames f = make_frames(p);
    Encoded e = encode_ok(f, Bounds{}, 2);
    EXPECT_EQ(e.header.dyn, DynCounts{});
    ASSERT_EQ(e.header.gops.size(), 3u);
    for (const GopSpan& g : e.header.gops) {
        EXPECT_EQ(g.len, 2u);
        EXPECT_EQ(e.bytes[g.offset], 0);
        EXPECT_EQ(e.bytes[g.offset + 1], 0);
    }
    auto dec = Decoder::from_bytes(e.bytes);
    ASSERT_TRUE(dec);
    auto rep = verify(*dec, f);
    ASSERT_TRUE(rep);
    EXPECT_TRUE(rep->ok);
}

TEST(Container, BytesIdenticalForAnyThreadCount) {
    SynthParams p = params(9, 300, 11, 0.3, 0.02f, 4);
    std::vector<std::vector<uint8_t>> out;
    for (int threads : {1, 2, 4}) {
        with_threads(threads, [&] {
            Frames f = make_frames(p);
            out.push_back(encode_ok(f, Bounds{}, 4).bytes);
        });
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);
}

TEST(Container, ZeroGopIsRejected) {
    Frames f = make_frames(params(3, 8, 12, 0.5, 0.01f));
    auto e = encode(f, Bounds{}, 0, 3, false);
    EXPECT_FALSE(e);
}

TEST(Verify, ViolationIsReportedNotAnError) {
    Frames f = make_frames(params(6, 50, 13, 0.3, 0.02f, 3));
    Encoded e = encode_ok(f, Bounds{}, 3);
    auto dec = Decoder::from_bytes(e.bytes);
    ASSERT_TRUE(dec);
    f.rgb[7] = static_cast<uint8_t>(f.rgb[7] + 100);
    auto rep = verify(*dec, f);
    ASSERT_TRUE(rep);
    EXPECT_FALSE(rep->ok);
    EXPECT_GE(rep->rgb_err, 96);
}

TEST(Verify, ReferenceMismatch) {
    Frames f = make_frames(params(4, 20, 14, 0.5, 0.01f));
    Encoded e = encode_ok(f, Bounds{}, 2);
    auto dec = Decoder::from_bytes(e.bytes);
    ASSERT_TRUE(dec);
    Frames shorter = make_frames(params(3, 20, 14, 0.5, 0.01f));
    auto rep = verify(*dec, shorter);
    ASSERT_FALSE(rep);
    EXPECT_EQ(rep.error().message(), "reference mismatch: file 4x20, reference 3x20");
}

TEST(Reconstruct, FrameOutOfRange) {
    Frames f = make_frames(params(5, 10, 15, 0.5, 0.01f));
    Encoded e = encode_ok(f, Bounds{}, 2);
    auto dec = Decoder::from_bytes(e.bytes);
    ASSERT_TRUE(dec);
    EXPECT_TRUE(reconstruct_frame(*dec, 4));
    auto r = reconstruct_frame(*dec, 5);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "frame 5 out of range 0..5");
}

// Every structural fault of a container is an error, never a crash or a silent success.
class Corrupt : public ::testing::Test {
  protected:
    void SetUp() override {
        Frames f = make_frames(params(5, 30, 16, 0.3, 0.02f, 3));
        bytes = encode_ok(f, Bounds{}, 2).bytes;
    }
    std::vector<uint8_t> bytes;
};

TEST_F(Corrupt, EveryTruncatedPrefixFails) {
    for (size_t len = 0; len < bytes.size(); ++len) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
        EXPECT_FALSE(Decoder::from_bytes(std::move(cut))) << "prefix " << len;
    }
}

TEST_F(Corrupt, TrailingByteFails) {
    bytes.push_back(0);
    EXPECT_FALSE(Decoder::from_bytes(bytes));
}

TEST_F(Corrupt, PreambleMessages) {
    auto b = bytes;
    b[0] = 'X';
    EXPECT_EQ(Decoder::from_bytes(b).error().message(), "not a .quorvex file (bad magic)");
    EXPECT_EQ(Decoder::from_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 11)).error().message(),
              "not a .quorvex file (bad magic)");
    b = bytes;
    b[4] = 2;
    EXPECT_EQ(Decoder::from_bytes(b).error().message(), "unsupported version 2");
    b = bytes;
    b[6] ^= 1;  // the flags copy is ignored
    EXPECT_TRUE(Decoder::from_bytes(b));
    b = bytes;
    store_u32(b.data() + 8, 0xFFFFFFF0u);
    EXPECT_FALSE(Decoder::from_bytes(b));
}

TEST_F(Corrupt, EveryFlippedByteIsRejectedOrVerifiedConsistently) {
    // Flip each byte; opening, reading every GOP and reconstructing every frame must either fail
    // cleanly or succeed (a flip inside a payload can still decode). No crash under sanitizers.
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = bytes;
        b[i] ^= 0x5A;
        auto dec = Decoder::from_bytes(std::move(b));
        if (!dec) continue;
        for (uint64_t g = 0; g < dec->header.gops.size(); ++g) (void)dec->gop_streams(g);
        for (uint64_t k = 0; k < std::min<uint64_t>(dec->header.t, 8); ++k) (void)reconstruct_frame(*dec, k);
    }
}

}  // namespace
}  // namespace quorvex
