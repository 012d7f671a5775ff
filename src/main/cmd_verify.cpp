#include <fmt/core.h>

#include <cmath>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/front_end.hpp"
#include "main/commands.hpp"
#include "model/frames.hpp"
#include "support/float_text.hpp"

namespace quorvex {

Result<int> run_verify(const VerifyCmd& cmd) {
    QX_TRY(dec, Decoder::open(cmd.file));
    QX_TRY(frames, Frames::load(cmd.input, cmd.fps));
    // Reproduce what the encoder saw: the same denoise, then the front end's reordering into
    // file order (its other results are not needed here).
    if (dec.header.denoised) (void)frames.denoise_colors();
    (void)front_end(frames, dec.header.bounds);
    QX_TRY(rep, verify(dec, frames));

    const Bounds& b = dec.header.bounds;
    fmt::print("pos    max err {:.4f} mm   (bound {} mm)\n", rep.pos_err * 1000.0, plain(b.pos_m * 1000.0));
    fmt::print("scale  max err {:.3f}%      (bound {}%)\n", (std::exp(rep.scale_err) - 1.0) * 100.0,
               plain(b.scale_rel * 100.0));
    fmt::print("rgb    max err {} levels  (bound {})\n", rep.rgb_err, b.rgb);
    fmt::print("alpha  max err {} levels  (bound {})\n", rep.alpha_err, b.alpha);
    fmt::print("rot    max err {} /128    (bound {})\n", rep.rot_err, b.rot);
    fmt::print("BOUNDS {}\n", rep.ok ? "VERIFIED" : "VIOLATED");
    std::fflush(stdout);
    return rep.ok ? 0 : 1;
}

}  // namespace quorvex
