// Frames of a given size.

#include "model/frames.hpp"

#include <tbb/parallel_invoke.h>

#include "support/big_alloc.hpp"

namespace quorvex {

Frames zeroed_frames(uint64_t t, uint64_t n) {
    Frames f;
    f.t = t;
    f.n = n;
    const uint64_t cells = t * n;
    // The five zero fills run side by side.
    tbb::parallel_invoke([&] { assign_zeroed(f.pos, cells * 3); },
                         [&] { assign_zeroed(f.scale_log, cells * 3); },
                         [&] { assign_zeroed(f.rgb, cells * 3); }, [&] { assign_zeroed(f.alpha, cells); },
                         [&] { assign_zeroed(f.rot, cells * 4); });
    return f;
}

}  // namespace quorvex
