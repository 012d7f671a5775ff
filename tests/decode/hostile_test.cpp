// Containers that claim more than they hold: every size a file states is checked against
// what the file itself can justify before anything is allocated or looped over, and the
// failure is a clear error.

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "support/container_edit.hpp"
#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/container.hpp"
#include "encode/encode.hpp"
#include "support/bytes.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

struct Built {
    std::vector<uint8_t> bytes;
    Header header;
    Frames frames;  // in file order
};

Built build(uint64_t t, uint64_t n, uint64_t gop, double static_fraction, float drift) {
    test::SynthParams p;
    p.t = t;
    p.n = n;
    p.seed = 21;
    p.static_fraction = static_fraction;
    p.drift = drift;
    p.flip_fraction = 0.0;
    Built b;
    b.frames = test::make_frames(p);
    auto e = encode(b.frames, Bounds{}, gop, 3, false);
    EXPECT_TRUE(e) << e.error().render();
    if (e) {
        b.bytes = e->bytes;
        b.header = e->header;
    }
    return b;
}

using test::with_header;

std::string open_error(std::vector<uint8_t> bytes) {
    auto d = Decoder::from_bytes(std::move(bytes));
    return d ? "opened" : d.error().render();
}

TEST(Hostile, SplatCountBeyondTheMasksIsRefusedAtOpen) {
    Built b = build(3, 20, 2, 0.5, 0.01f);
    for (uint64_t n : {uint64_t{21} + 8, uint64_t{1} << 40, std::numeric_limits<uint64_t>::max()}) {
        Header h = b.header;
        h.n = n;
        EXPECT_EQ(open_error(with_header(b.bytes, h)),
                  fmt::format("static stream mask_pos holds 3 values, fewer than the {} splats need", n));
    }
}

TEST(Hostile, RecordsClaimingMoreValuesThanTheirPayload) {
    Built b = build(4, 30, 4, 0.2, 0.02f);
    ASSERT_FALSE(b.header.gops.empty());
    // The first static record (mask_pos): 2^32 − 1 values of width 4 is 16 GiB of planes.
    std::vector<uint8_t> bad = b.bytes;
    uint8_t* rec = bad.data() + b.header.static_section.offset;
    rec[2] = 4;
    store_u32(rec + 3, 0xFFFFFFFFu);
    EXPECT_NE(open_error(bad).find("expected 17179869180"), std::string::npos) << open_error(bad);

    // The same claim in a GOP record: the file opens, the GOP read fails.
    bad = b.bytes;
    rec = bad.data() + b.header.gops[0].offset + kGopCountBytes;
    rec[2] = 4;
    store_u32(rec + 3, 0xFFFFFFFFu);
    auto d = Decoder::from_bytes(bad);
    ASSERT_TRUE(d) << d.error().render();
    auto s = d->gop_streams(0);
    ASSERT_FALSE(s);
    EXPECT_NE(s.error().render().find("expected 17179869180"), std::string::npos) << s.error().render();
    EXPECT_FALSE(reconstruct_frame(*d, 0));
    EXPECT_FALSE(verify(*d, b.frames));
}

TEST(Hostile, GopRecordTableLongerThanItsSection) {
    Built b = build(3, 20, 3, 0.2, 0.02f);
    std::vector<uint8_t> bad = b.bytes;
    bad[b.header.gops[0].offset] = 0xFF;  // 65535 record headers claimed in a few hundred bytes
    bad[b.header.gops[0].offset + 1] = 0xFF;
    auto d = Decoder::from_bytes(bad);
    ASSERT_TRUE(d);
    auto s = d->gop_streams(0);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().render(), "gop 0 length mismatch");
}

// All splats static: every GOP section is the two bytes 00 00, so the table can be rewritten
// freely and still point at valid sections.
class GopTable : public ::testing::Test {
  protected:
    void SetUp() override {
        b = build(5, 12, 2, 1.0, 0.0f);
        ASSERT_EQ(b.header.gops.size(), 3u);
        ASSERT_EQ(b.header.dyn, DynCounts{});
    }
    // Frame ranges for GOP entries that all use the last section (which ends the file).
    std::string verify_error(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t t = 5) {
        Header h = b.header;
        h.t = t;
        h.gops.assign(ranges.size(), b.header.gops.back());
        for (size_t g = 0; g < ranges.size(); ++g) {
            h.gops[g].f0 = ranges[g].first;
            h.gops[g].f1 = ranges[g].second;
        }
        auto d = Decoder::from_bytes(with_header(b.bytes, h));
        if (!d) return "open: " + d.error().render();
        auto rep = verify(*d, b.frames);
        if (!rep) return rep.error().render();
        return rep->ok ? "ok" : "violated";
    }
    Built b;
};

TEST_F(GopTable, EveryFrameCoveredExactlyOnce) {
    EXPECT_EQ(verify_error({{0, 1}, {2, 3}, {4, 4}}), "ok");
    EXPECT_EQ(verify_error({{4, 4}, {0, 3}}), "ok");          // header order is free
    EXPECT_EQ(verify_error({{0, 1}, {3, 2}, {2, 4}}), "ok");  // an empty range is skipped
    EXPECT_EQ(verify_error({{0, 1}, {3, 4}}), "frame 2 is not covered by any gop");
    EXPECT_EQ(verify_error({{1, 4}}), "frame 0 is not covered by any gop");
    EXPECT_EQ(verify_error({{0, 3}}), "frame 4 is not covered by any gop");
    EXPECT_EQ(verify_error({{0, 2}, {2, 4}}), "gop 1 covers frame 2 again");
    EXPECT_EQ(verify_error({{0, 4}, {0, 4}}), "gop 1 covers frame 0 again");
    EXPECT_EQ(verify_error({{0, 3}, {4, 5}}), "gop 1 covers frames 4..5 beyond the sequence of 5 frames");
}

TEST_F(GopTable, ManyOverlappingGopsAreRefusedBeforeAnyFrameIsChecked) {
    // A thousand entries that each cover the whole sequence would check it a thousand times.
    std::vector<std::pair<uint64_t, uint64_t>> ranges(1000, {0, 4});
    EXPECT_EQ(verify_error(ranges), "gop 1 covers frame 0 again");
}

TEST_F(GopTable, FrameCountIsNotAnAllocationSize) {
    // A claim of 2^40 frames costs nothing until a frame is asked for: decoding one frame is
    // O(n), and verification refuses a reference of another length up front.
    const uint64_t t = uint64_t{1} << 40;
    Header h = b.header;
    h.t = t;
    h.gops.assign(1, b.header.gops.back());
    h.gops[0].f0 = 0;
    h.gops[0].f1 = t - 1;
    auto d = Decoder::from_bytes(with_header(b.bytes, h));
    ASSERT_TRUE(d) << d.error().render();
    auto rec = reconstruct_frame(*d, t - 1);
    ASSERT_TRUE(rec) << rec.error().render();
    EXPECT_EQ(rec->size(), 12u * 32u);
    auto rep = verify(*d, b.frames);
    ASSERT_FALSE(rep);
    EXPECT_EQ(rep.error().render(), "reference mismatch: file 1099511627776x12, reference 5x12");
}

}  // namespace
}  // namespace quorvex
