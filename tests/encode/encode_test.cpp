// Whole encodes large enough that the hold, the in-place packing and the frame loops split their
// work into several tasks: the container must not depend on the number of threads.

#include "encode/encode.hpp"

#include <gtest/gtest.h>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/catalogue.hpp"
#include "encode/hold.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

TEST(Encode, BytesIdenticalForAnyThreadCountAcrossManyTasks) {
    test::SynthParams p;
    p.t = 7;
    p.n = 6000;
    p.seed = 21;
    p.static_fraction = 0.3;
    p.drift = 0.02f;
    p.jitter = 0.001f;
    p.colour_flicker = 5;
    p.flip_fraction = 0.1;
    std::vector<std::vector<uint8_t>> out;
    for (int threads : {1, 2, 3}) {
        with_threads(threads, [&] {
            Frames f = test::make_frames(p);
            // A GOP of 4 frames: two GOPs, the second shorter, so the hold crosses a GOP boundary.
            auto e = encode(f, Bounds{}, 4, 3, false);
            ASSERT_TRUE(e) << e.error().render();
            out.push_back(std::move(e->bytes));
        });
    }
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);
}

// A delta wider than a byte in a GOP after the first, where the hold starts from the state the
// previous GOP left. Splat 0 jumps a thousand steps and back. Splat 1 holds x index 0 into GOP 1
// (0.5 is within the bound of 0), although from the indices it holds at the end of GOP 1 it
// would take x index 1 there: the GOP's streams must come from the state before the GOP.
TEST(Encode, WideDeltasInLaterGops) {
    Frames f = zeroed_frames(6, 2);
    const float x0[] = {0, 0, 0, 0, 1000, 0};
    const float x1[] = {0, 0, 0, 0.5f, 1, 1};
    const float y1[] = {0, 0, 0, 0, 0, 5};  // keeps splat 1 dynamic
    for (uint64_t k = 0; k < f.t; ++k) {
        f.pos[(k * f.n + 0) * 3] = x0[k];
        f.pos[(k * f.n + 1) * 3] = x1[k];
        f.pos[(k * f.n + 1) * 3 + 1] = y1[k];
    }
    const Bounds bounds{0.5, 0.02, 4, 4, 0};
    auto e = encode(f, bounds, 3, 3, false);
    ASSERT_TRUE(e) << e.error().render();
    bool wide = false;
    for (const StreamInfo& s : e->streams)
        if (s.name == "g1.pos.delta") wide = s.raw > 2 * e->header.dyn.pos * 3;
    EXPECT_TRUE(wide);
    auto dec = Decoder::from_bytes(e->bytes);
    ASSERT_TRUE(dec) << dec.error().render();
    auto rep = verify(*dec, f);
    ASSERT_TRUE(rep) << rep.error().render();
    EXPECT_TRUE(rep->ok) << rep->pos_err;

    // Every GOP's position streams are the slices of the whole-sequence held table.
    const std::vector<uint32_t> dyn = dyn_indices(e->front.mask_pos);
    const Steps steps = steps_from(bounds);
    const std::vector<int32_t> held = hold_f(f.pos, f.t, f.n, dyn, steps.pos, bounds.pos_m);
    for (uint64_t g = 0; g < e->header.gops.size(); ++g) {
        SCOPED_TRACE(testing::Message() << "gop " << g);
        const GopSpan& span = e->header.gops[g];
        const GopValues want = gop_values(held, dyn.size(), 3, span.f0, span.f1);
        auto streams = dec->gop_streams(g);
        ASSERT_TRUE(streams);
        const GopStream* key = find_stream(*streams, kAttrPos, kKindKey);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->values, want.key);
        if (span.f1 > span.f0) {
            const GopStream* delta = find_stream(*streams, kAttrPos, kKindDelta);
            ASSERT_NE(delta, nullptr);
            EXPECT_EQ(delta->values, want.delta);
        }
    }
}

}  // namespace
}  // namespace quorvex
