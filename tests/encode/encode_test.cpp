// Whole encodes large enough that the hold, the in-place packing and the frame loops split their
// work into several tasks: the container must not depend on the number of threads.

#include "encode/encode.hpp"

#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

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
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<size_t>(threads));
        tbb::task_arena arena(threads);
        arena.execute([&] {
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

}  // namespace
}  // namespace quorvex
