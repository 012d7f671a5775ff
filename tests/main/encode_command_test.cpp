// The encode command end to end: its console lines, the JSON report and the permutation file,
// cross-checked against each other and against the written container.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "decode/decoder.hpp"
#include "main/command_runner.hpp"
#include "main/console.hpp"
#include "main/human.hpp"
#include "model/splat.hpp"
#include "support/bytes.hpp"
#include "support/json.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using test::json_as;
using test::member;
using test::run_quorvex;
using test::split_lines;

constexpr uint64_t kT = 6;
constexpr uint64_t kN = 200;

// Moving splats with flickering colours, so every attribute has dynamic splats and every
// stream row appears.
test::SynthParams sequence_params() {
    test::SynthParams p;
    p.t = kT;
    p.n = kN;
    p.seed = 7;
    p.static_fraction = 0.3;
    p.drift = 0.01f;
    p.jitter = 0.001f;
    p.colour_flicker = 6;
    return p;
}

class EncodeCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        frames_ = test::make_frames(sequence_params());
        fs::create_directories(input());
        test::write_frames(input(), frames_);
    }

    fs::path input() const { return dir_ / "frames"; }
    fs::path output() const { return dir_ / "out.quorvex"; }

    test::RunResult encode(std::vector<std::string> extra) {
        std::vector<std::string> args{"encode", "-i", input().string(), "-o", output().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_quorvex(std::move(args));
    }

    test::TempDir dir_{"encode-cmd"};
    Frames frames_;
};

// Replaces every "12.34s" duration by "#s": the only console values that vary between runs.
std::string mask_seconds(const std::string& line) {
    static const std::regex seconds(R"(\b[0-9]+\.[0-9]{2}s\b)");
    static const std::regex rate(R"(\([0-9]+ MB/s in\))");
    return std::regex_replace(std::regex_replace(line, seconds, "#s"), rate, "(# MB/s in)");
}

// The stderr lines an encode should print, derived from the report's values (timings masked).
std::vector<std::string> expected_console(JsonValue report, uint64_t file_bytes, bool verified,
                                          const std::string& bounds_text) {
    std::vector<std::string> lines;
    lines.push_back(fmt::format("parsed {} frames x {} splats ({}) in #s", kT, kN, human(kT * kN * 32)));
    lines.push_back("");
    const JsonValue fr = member(report, "static_fracs");
    lines.push_back(
        fmt::format("static fractions: pos {:.1f}%  rot {:.1f}%  rgb {:.1f}%  alpha {:.1f}%  scale {:.1f}%",
                    json_as<double>(member(fr, "pos")) * 100, json_as<double>(member(fr, "rot")) * 100,
                    json_as<double>(member(fr, "rgb")) * 100, json_as<double>(member(fr, "alpha")) * 100,
                    json_as<double>(member(fr, "scale")) * 100));
    lines.push_back("");
    lines.push_back(fmt::format("{:<22} {:>12} {:>12} {:>12}", "stream", "raw", "zstd", "entropy-min"));
    const Result<JsonArray> streams = as_array(member(report, "streams"));
    EXPECT_TRUE(streams);
    for (size_t i = 0; streams && i < streams->size(); ++i) {
        const JsonValue s = (*streams)[i];
        lines.push_back(fmt::format("{:<22} {:>12} {:>12} {:>12}", json_as<std::string>(member(s, "name")),
                                    human(json_as<uint64_t>(member(s, "raw"))),
                                    human(json_as<uint64_t>(member(s, "zstd"))),
                                    human(saturate_u64(json_as<double>(member(s, "entropy"))))));
    }
    lines.push_back("");
    const uint64_t in_bytes = json_as<uint64_t>(member(member(report, "input"), "bytes"));
    const double entropy = json_as<double>(member(member(report, "output"), "entropy_min_bytes"));
    lines.push_back(fmt::format("input  {} ({} frames x {} splats x 32 B)", human(in_bytes), kT, kN));
    lines.push_back(fmt::format("output {}   ratio {:.1f}x   entropy-min {} ({:.1f}x)", human(file_bytes),
                                static_cast<double>(in_bytes) / static_cast<double>(file_bytes),
                                human(saturate_u64(entropy)), static_cast<double>(in_bytes) / entropy));
    lines.push_back(fmt::format("bytes/frame {}   bytes/splat/frame {:.3f}", human(file_bytes / kT),
                                static_cast<double>(file_bytes) / static_cast<double>(kN * kT)));
    lines.push_back("");
    lines.push_back("times: parse #s  encode+compress #s  write #s  total #s  (# MB/s in)");
    if (verified) {
        const JsonValue v = member(report, "verify");
        lines.push_back("");
        lines.push_back("verify (every splat, every frame) in #s:");
        lines.push_back(fmt::format("  pos    max err {:.4f} mm   (bound {} mm)",
                                    json_as<double>(member(v, "pos_mm")), bounds_text));
        lines.push_back(
            fmt::format("  scale  max err {:.3f}%      (bound 2%)", json_as<double>(member(v, "scale_pct"))));
        lines.push_back(
            fmt::format("  rgb    max err {} levels  (bound 4)", json_as<int32_t>(member(v, "rgb_levels"))));
        lines.push_back(fmt::format("  alpha  max err {} levels  (bound 4)",
                                    json_as<int32_t>(member(v, "alpha_levels"))));
        lines.push_back(
            fmt::format("  rot    max err {} /128    (bound 0)", json_as<int32_t>(member(v, "rot_units"))));
        lines.push_back("  BOUNDS VERIFIED");
    }
    return lines;
}

TEST_F(EncodeCommand, ReportAgreesWithConsoleAndContainer) {
    const fs::path report_path = dir_ / "report.json";
    const test::RunResult r = encode({"--pos-mm", "0.5", "--report", report_path.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    const std::vector<uint8_t> report_bytes = test::read_bytes(report_path);
    const std::string text(report_bytes.begin(), report_bytes.end());
    EXPECT_TRUE(test::pretty_layout(text));
    Result<JsonDoc> doc = parse_json(text);
    ASSERT_TRUE(doc) << doc.error().render();
    EXPECT_TRUE(test::keys_ascend_everywhere(*doc));
    const JsonValue root = json_root(*doc);
    EXPECT_EQ(test::member_keys(root),
              (std::vector<std::string>{"bounds", "denoise", "gop", "input", "output", "static_fracs",
                                        "streams", "times_s", "verify", "zstd_level"}));

    const JsonValue bounds = member(root, "bounds");
    EXPECT_EQ(test::member_keys(bounds),
              (std::vector<std::string>{"alpha", "pos_m", "rgb", "rot", "scale_rel"}));
    EXPECT_EQ(json_as<double>(member(bounds, "pos_m")), 0.5 / 1000);
    EXPECT_EQ(json_as<double>(member(bounds, "scale_rel")), 2.0 / 100);
    EXPECT_EQ(json_as<int32_t>(member(bounds, "rgb")), 4);
    EXPECT_EQ(json_as<int32_t>(member(bounds, "alpha")), 4);
    EXPECT_EQ(json_as<int32_t>(member(bounds, "rot")), 0);
    EXPECT_EQ(member(root, "denoise").node().kind, JsonKind::null);
    EXPECT_EQ(json_as<uint64_t>(member(root, "gop")), 30u);
    EXPECT_EQ(json_as<int32_t>(member(root, "zstd_level")), 3);

    const JsonValue in = member(root, "input");
    EXPECT_EQ(json_as<uint64_t>(member(in, "bytes")), kT * kN * 32);
    EXPECT_EQ(json_as<uint64_t>(member(in, "frames")), kT);
    EXPECT_EQ(json_as<uint64_t>(member(in, "splats")), kN);

    const uint64_t file_bytes = fs::file_size(output());
    const JsonValue out = member(root, "output");
    EXPECT_EQ(json_as<uint64_t>(member(out, "bytes")), file_bytes);
    EXPECT_EQ(json_as<double>(member(out, "ratio")),
              static_cast<double>(kT * kN * 32) / static_cast<double>(file_bytes));

    // The entropy total is summed over the streams in encoder order, the rows per key: equal up
    // to rounding.
    const Result<JsonArray> streams = as_array(member(root, "streams"));
    ASSERT_TRUE(streams);
    double row_entropy = 0.0;
    uint64_t row_zstd = 0;
    std::vector<std::string> names;
    for (size_t i = 0; i < streams->size(); ++i) {
        row_entropy += json_as<double>(member((*streams)[i], "entropy"));
        row_zstd += json_as<uint64_t>(member((*streams)[i], "zstd"));
        names.push_back(json_as<std::string>(member((*streams)[i], "name")));
    }
    EXPECT_NEAR(json_as<double>(member(out, "entropy_min_bytes")), row_entropy, 1e-6 * row_entropy);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
    // Every attribute moves in this sequence and GOPs hold several frames: all twenty rows.
    EXPECT_EQ(names.size(), 20u);
    // The streams (record headers included) fill the container apart from the preamble, the
    // JSON header and the GOP sections' own directories.
    EXPECT_LT(row_zstd, file_bytes);

    // Each static fraction is the share of splats whose attribute is static in the container.
    Result<Decoder> dec = Decoder::open(output());
    ASSERT_TRUE(dec) << dec.error().render();
    const DynCounts& dyn = dec->header.dyn;
    const JsonValue fracs = member(root, "static_fracs");
    const auto static_share = [](uint64_t dynamic) { return static_cast<double>(kN - dynamic) / kN; };
    EXPECT_DOUBLE_EQ(json_as<double>(member(fracs, "pos")), static_share(dyn.pos));
    EXPECT_DOUBLE_EQ(json_as<double>(member(fracs, "rot")), static_share(dyn.rot));
    EXPECT_DOUBLE_EQ(json_as<double>(member(fracs, "rgb")), static_share(dyn.rgb));
    EXPECT_DOUBLE_EQ(json_as<double>(member(fracs, "alpha")), static_share(dyn.alpha));
    EXPECT_DOUBLE_EQ(json_as<double>(member(fracs, "scale")), static_share(dyn.scale));

    const JsonValue verify = member(root, "verify");
    EXPECT_TRUE(json_as<bool>(member(verify, "ok")));
    EXPECT_LE(json_as<double>(member(verify, "pos_mm")), 0.5);
    EXPECT_LE(json_as<int32_t>(member(verify, "rgb_levels")), 4);
    EXPECT_EQ(json_as<int32_t>(member(verify, "rot_units")), 0);

    const JsonValue times = member(root, "times_s");
    EXPECT_EQ(test::member_keys(times), (std::vector<std::string>{"encode", "parse", "total", "write"}));

    // The console, line by line, against the report.
    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "report written to " + report_path.string());
    EXPECT_EQ(r.err.back(), '\n');
    lines.pop_back();
    std::vector<std::string> masked;
    for (const std::string& l : lines) masked.push_back(mask_seconds(l));
    EXPECT_EQ(masked, expected_console(root, file_bytes, true, "0.5"));

    // The console times are the report's, rounded to two decimals.
    static const std::regex times_line(
        R"(times: parse ([0-9.]+)s  encode\+compress ([0-9.]+)s  write ([0-9.]+)s  total [0-9.]+s  \(\d+ MB/s in\))");
    const auto times_it = std::find_if(lines.begin(), lines.end(),
                                       [](const std::string& l) { return l.starts_with("times:"); });
    ASSERT_NE(times_it, lines.end());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(*times_it, m, times_line)) << *times_it;
    EXPECT_EQ(m[1].str(), fmt::format("{:.2f}", json_as<double>(member(times, "parse"))));
    EXPECT_EQ(m[2].str(), fmt::format("{:.2f}", json_as<double>(member(times, "encode"))));
    EXPECT_EQ(m[3].str(), fmt::format("{:.2f}", json_as<double>(member(times, "write"))));
}

TEST_F(EncodeCommand, DenoiseWithoutVerify) {
    const fs::path report_path = dir_ / "report.json";
    const test::RunResult r = encode({"--denoise-colors", "--no-verify", "--report", report_path.string()});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::vector<uint8_t> report_bytes = test::read_bytes(report_path);
    Result<JsonDoc> doc = parse_json(std::string(report_bytes.begin(), report_bytes.end()));
    ASSERT_TRUE(doc) << doc.error().render();
    const JsonValue root = json_root(*doc);
    EXPECT_EQ(member(root, "verify").node().kind, JsonKind::null);
    const JsonValue denoise = member(root, "denoise");
    ASSERT_EQ(denoise.node().kind, JsonKind::object);
    EXPECT_EQ(test::member_keys(denoise), (std::vector<std::string>{"mean_dev", "p99_dev"}));
    const double mean = json_as<double>(member(denoise, "mean_dev"));
    const double p99 = json_as<double>(member(denoise, "p99_dev"));
    // Flicker of ±6 levels: the median moves colours of the moving splats by a few levels.
    EXPECT_GT(mean, 0.0);
    EXPECT_GE(p99, 1.0);

    std::vector<std::string> lines = split_lines(r.err);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(
        mask_seconds(lines[1]),
        fmt::format("denoised colors (median-5): mean |dev| {:.2f} levels, p99 {:.0f} in #s", mean, p99));
    EXPECT_EQ(lines[2], "");
    EXPECT_TRUE(lines[3].starts_with("static fractions: "));
    EXPECT_EQ(lines.back(), "report written to " + report_path.string());
    // No verify block: the times line comes right before the report line.
    EXPECT_TRUE(lines[lines.size() - 2].starts_with("times: ")) << lines[lines.size() - 2];
    EXPECT_EQ(r.err.find("verify"), std::string::npos);
    EXPECT_EQ(r.err.find("BOUNDS"), std::string::npos);

    // With the denoise line removed, the rest is the console of a plain run of these values.
    lines.erase(lines.begin() + 1);
    lines.pop_back();
    std::vector<std::string> masked;
    for (const std::string& l : lines) masked.push_back(mask_seconds(l));
    EXPECT_EQ(masked, expected_console(root, fs::file_size(output()), false, "2"));
}

// Splat record j of a decoded frame against the input record perm[j] of the same frame.
struct Record {
    float pos[3];
    float scale[3];
    uint8_t rgb[3];
    uint8_t alpha;
    uint8_t rot[4];
};

Record record_at(const std::vector<uint8_t>& bytes, size_t j) {
    const uint8_t* p = bytes.data() + j * kSplatBytes;
    Record r{};
    for (int c = 0; c < 3; ++c) {
        r.pos[c] = load_f32(p + kSplatPosOffset + 4 * c);
        r.scale[c] = load_f32(p + kSplatScaleOffset + 4 * c);
        r.rgb[c] = p[kSplatRgbOffset + c];
    }
    r.alpha = p[kSplatAlphaOffset];
    for (int c = 0; c < 4; ++c) r.rot[c] = p[kSplatRotOffset + c];
    return r;
}

TEST_F(EncodeCommand, PermutationAlignsDecodedFramesWithInput) {
    const fs::path perm_path = dir_ / "perm.bin";
    const test::RunResult r = encode({"--pos-mm", "1", "--color-levels", "2", "--rot-steps", "1",
                                      "--scale-pct", "1", "--gop", "4", "--perm-out", perm_path.string()});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::vector<uint8_t> perm_bytes = test::read_bytes(perm_path);
    ASSERT_EQ(perm_bytes.size(), 4 * kN);
    std::vector<uint32_t> perm(kN);
    for (size_t j = 0; j < kN; ++j) perm[j] = load_u32(perm_bytes.data() + 4 * j);
    std::vector<uint32_t> sorted = perm;
    std::sort(sorted.begin(), sorted.end());
    for (uint32_t j = 0; j < kN; ++j) ASSERT_EQ(sorted[j], j) << "not a permutation of 0.." << kN - 1;
    // The front end does reorder this sequence, so a perm file of the identity would fail below.
    size_t moved = 0;
    for (uint32_t j = 0; j < kN; ++j) moved += perm[j] != j;
    EXPECT_GT(moved, kN / 2);

    const double pos_bound = 1.0 / 1000;
    const double log_scale_bound = std::log(1.0 + 1.0 / 100);
    for (uint64_t k = 0; k < kT; ++k) {
        const fs::path frame_path = dir_ / fmt::format("frame{}.splat", k);
        const test::RunResult d = run_quorvex(
            {"decode", output().string(), "--frame", std::to_string(k), "-o", frame_path.string()});
        ASSERT_EQ(d.status, 0) << d.err;
        EXPECT_EQ(d.out, fmt::format("wrote {} ({} splats) for frame {}\n", frame_path.string(), kN, k));
        EXPECT_EQ(d.err, "");
        const std::vector<uint8_t> decoded = test::read_bytes(frame_path);
        ASSERT_EQ(decoded.size(), kN * kSplatBytes);

        const std::vector<uint8_t> source = test::read_bytes(input() / fmt::format("frame_{:05}.splat", k));
        ASSERT_EQ(source.size(), kN * kSplatBytes);
        for (size_t j = 0; j < kN; ++j) {
            const Record got = record_at(decoded, j);
            const Record want = record_at(source, perm[j]);
            SCOPED_TRACE(fmt::format("frame {} position {} (input splat {})", k, j, perm[j]));
            for (int c = 0; c < 3; ++c) {
                ASSERT_LE(std::abs(double{got.pos[c]} - double{want.pos[c]}), pos_bound * (1 + 1e-9));
                ASSERT_LE(std::abs(std::log(double{got.scale[c]}) - std::log(double{want.scale[c]})),
                          log_scale_bound + 1e-6);
                ASSERT_LE(std::abs(int{got.rgb[c]} - int{want.rgb[c]}), 2);
            }
            ASSERT_LE(std::abs(int{got.alpha} - int{want.alpha}), 2);
            for (int c = 0; c < 4; ++c) ASSERT_LE(std::abs(int{got.rot[c]} - int{want.rot[c]}), 1);
        }
    }
}

// The first word of every stream table row printed on the console.
std::vector<std::string> table_rows(const std::string& err) {
    std::vector<std::string> rows;
    bool in_table = false;
    for (const std::string& line : split_lines(err)) {
        if (line.starts_with("stream ")) {
            in_table = true;
        } else if (in_table && line.empty()) {
            break;
        } else if (in_table) {
            rows.push_back(line.substr(0, line.find(' ')));
        }
    }
    return rows;
}

const std::vector<std::string> kStaticRows = {
    "static.base_alpha", "static.base_pos", "static.base_rgb", "static.base_rot", "static.base_scale",
    "static.mask_alpha", "static.mask_pos", "static.mask_rgb", "static.mask_rot", "static.mask_scale"};

TEST_F(EncodeCommand, RowsOnlyForWhatIsCoded) {
    // Single-frame GOPs: key rows for every attribute, no delta row.
    test::RunResult r = encode({"--gop", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected = {"dyn.alpha.key", "dyn.pos.key", "dyn.rgb.key", "dyn.rot.key",
                                         "dyn.scale.key"};
    expected.insert(expected.end(), kStaticRows.begin(), kStaticRows.end());
    EXPECT_EQ(table_rows(r.err), expected);

    // Bounds wide enough for every attribute but position to be static: only position rows.
    r = encode({"--gop", "4", "--color-levels", "300", "--rot-steps", "300", "--scale-pct", "1000"});
    ASSERT_EQ(r.status, 0) << r.err;
    expected = {"dyn.pos.delta", "dyn.pos.key"};
    expected.insert(expected.end(), kStaticRows.begin(), kStaticRows.end());
    EXPECT_EQ(table_rows(r.err), expected);
    EXPECT_NE(r.err.find("static fractions: pos "), std::string::npos);
    EXPECT_NE(r.err.find("rot 100.0%  rgb 100.0%  alpha 100.0%  scale 100.0%\n"), std::string::npos) << r.err;

    // A sequence without any motion: the ten static rows alone.
    fs::remove_all(input());
    test::SynthParams still = sequence_params();
    still.static_fraction = 1.0;
    fs::create_directories(input());
    test::write_frames(input(), test::make_frames(still));
    r = encode({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(table_rows(r.err), kStaticRows);
    EXPECT_NE(
        r.err.find("static fractions: pos 100.0%  rot 100.0%  rgb 100.0%  alpha 100.0%  scale 100.0%\n"),
        std::string::npos);
    EXPECT_TRUE(r.err.ends_with("  BOUNDS VERIFIED\n"));
}

TEST_F(EncodeCommand, OutputInMissingDirectoryFailsAfterEncoding) {
    const fs::path missing = dir_ / "no-such-dir" / "out.quorvex";
    const test::RunResult r = run_quorvex({"encode", "-i", input().string(), "-o", missing.string()});
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_TRUE(lines[0].starts_with("parsed 6 frames x 200 splats"));
    EXPECT_EQ(lines[1], "Error: No such file or directory");
    EXPECT_FALSE(fs::exists(missing.parent_path()));
}

TEST_F(EncodeCommand, ReportWriteFailureKeepsContainer) {
    const fs::path report_path = dir_ / "no-such-dir" / "report.json";
    const test::RunResult r = encode({"--report", report_path.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("  BOUNDS VERIFIED\nError: No such file or directory\n")) << r.err;
    EXPECT_TRUE(fs::exists(output()));
}

}  // namespace
}  // namespace quorvex
