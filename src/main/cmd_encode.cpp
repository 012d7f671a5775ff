#include <fmt/core.h>

#include <cmath>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/encode.hpp"
#include "encode/holdable.hpp"
#include "main/commands.hpp"
#include "main/console.hpp"
#include "main/human.hpp"
#include "main/report.hpp"
#include "main/stream_table.hpp"
#include "model/frames.hpp"
#include "model/splat.hpp"
#include "support/file_io.hpp"
#include "support/float_text.hpp"

namespace quorvex {

namespace {

// Reopens the written container from disk and checks every splat of every frame against the
// frames the encoder saw (already in file order).
Result<VerifyValues> verification_pass(const EncodeCmd& cmd, const Frames& frames) {
    const auto start = Clock::now();
    QX_TRY(dec, Decoder::open(cmd.output));
    QX_TRY(rep, verify(dec, frames));
    const double secs = seconds_since(start);
    VerifyValues v{rep.pos_err * 1000.0, (std::exp(rep.scale_err) - 1.0) * 100.0,
                   rep.rgb_err, rep.alpha_err, rep.rot_err, rep.ok};
    fmt::print(stderr, "\nverify (every splat, every frame) in {:.2f}s:\n", secs);
    fmt::print(stderr, "  pos    max err {:.4f} mm   (bound {} mm)\n", v.pos_mm, plain(cmd.pos_mm));
    fmt::print(stderr, "  scale  max err {:.3f}%      (bound {}%)\n", v.scale_pct, plain(cmd.scale_pct));
    fmt::print(stderr, "  rgb    max err {} levels  (bound {})\n", v.rgb_levels, cmd.color_levels);
    fmt::print(stderr, "  alpha  max err {} levels  (bound {})\n", v.alpha_levels, cmd.color_levels);
    fmt::print(stderr, "  rot    max err {} /128    (bound {})\n", v.rot_units, cmd.rot_steps);
    fmt::print(stderr, "  BOUNDS {}\n", v.ok ? "VERIFIED" : "VIOLATED — BUG");
    if (!v.ok) return Error::msg("error bounds violated — encoder bug");
    return v;
}

void print_statistics(const Encoded& e, const std::map<std::string, TableRow>& table, const Frames& frames) {
    const auto& f = e.static_frac;
    fmt::print(stderr, "\nstatic fractions: pos {:.1f}%  rot {:.1f}%  rgb {:.1f}%  alpha {:.1f}%  scale {:.1f}%\n",
               f[0] * 100, f[1] * 100, f[2] * 100, f[3] * 100, f[4] * 100);
    fmt::print(stderr, "\n{:<22} {:>12} {:>12} {:>12}\n", "stream", "raw", "zstd", "entropy-min");
    for (const auto& [key, row] : table)
        fmt::print(stderr, "{:<22} {:>12} {:>12} {:>12}\n", key, human(row.raw), human(row.packed),
                   human(saturate_u64(row.entropy)));
    const double entropy_sum = entropy_total(e.streams);
    fmt::print(stderr, "\ninput  {} ({} frames x {} splats x 32 B)\n", human(e.input_bytes), frames.t, frames.n);
    fmt::print(stderr, "output {}   ratio {:.1f}x   entropy-min {} ({:.1f}x)\n", human(e.output_bytes),
               static_cast<double>(e.input_bytes) / static_cast<double>(e.output_bytes),
               human(saturate_u64(entropy_sum)), static_cast<double>(e.input_bytes) / entropy_sum);
    fmt::print(stderr, "bytes/frame {}   bytes/splat/frame {:.3f}\n", human(e.output_bytes / frames.t),
               static_cast<double>(e.output_bytes) / static_cast<double>(frames.n * frames.t));
}

}  // namespace

Status run_encode(const EncodeCmd& cmd) {
    // Refuse unusable options before any work is done.
    QX_CHECK(validate_encode_options(cmd));
    const Bounds bounds = bounds_from(cmd);

    const auto total_start = Clock::now();
    const auto parse_start = Clock::now();
    QX_TRY(frames, Frames::load(cmd.input, cmd.fps));
    if (!(frames.fps > 0.0f) || !std::isfinite(frames.fps))
        return Error::make("frames.json: fps must be a positive finite number (got {})", plain(frames.fps));
    // Refuse what no container at these bounds can hold, naming the file, before any encoding.
    QX_CHECK(check_holdable(frames, bounds));
    EncodeTimes times;
    times.parse = seconds_since(parse_start);
    const uint64_t raw_size = frames.t * frames.n * kSplatBytes;
    fmt::print(stderr, "parsed {} frames x {} splats ({}) in {:.2f}s\n", frames.t, frames.n, human(raw_size),
               times.parse);

    std::optional<DenoiseStats> denoise;
    if (cmd.denoise_colors) {
        const auto start = Clock::now();
        denoise = frames.denoise_colors();
        fmt::print(stderr, "denoised colors (median-5): mean |dev| {:.2f} levels, p99 {:.0f} in {:.2f}s\n",
                   denoise->mean_dev, denoise->p99_dev, seconds_since(start));
    }

    const auto encode_start = Clock::now();
    QX_TRY(encoded, encode(frames, bounds, cmd.gop, cmd.zstd_level, cmd.denoise_colors));
    times.encode = seconds_since(encode_start);

    const auto write_start = Clock::now();
    QX_CHECK(write_file(cmd.output, encoded.bytes));
    if (cmd.perm_out) QX_CHECK(write_file(*cmd.perm_out, permutation_bytes(encoded.front)));
    times.write = seconds_since(write_start);

    const auto table = stream_table(encoded.streams);
    print_statistics(encoded, table, frames);
    const double total = seconds_since(total_start);
    const double throughput = (static_cast<double>(encoded.input_bytes) / 1e6) / seconds_since(total_start);
    fmt::print(stderr, "\ntimes: parse {:.2f}s  encode+compress {:.2f}s  write {:.2f}s  total {:.2f}s  ({:.0f} MB/s in)\n",
               times.parse, times.encode, times.write, total, throughput);

    std::optional<VerifyValues> verified;
    if (!cmd.no_verify) {
        QX_TRY(v, verification_pass(cmd, frames));
        verified = v;
    }

    if (cmd.report) {
        QX_TRY(text, report_json(ReportInputs{cmd, bounds, denoise, encoded, table, times, total_start, verified}));
        QX_CHECK(write_file(*cmd.report, text));
        fmt::print(stderr, "report written to {}\n", cmd.report->string());
    }
    return Ok{};
}

}  // namespace quorvex
