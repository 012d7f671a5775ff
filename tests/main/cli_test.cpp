#include "main/cli.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace quorvex {
namespace {

struct Parsed {
    std::variant<Cli, int> result;
    std::string out, err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvex");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    auto r = parse_cli(static_cast<int>(args.size()), argv.data(), out, err);
    return {std::move(r), out.str(), err.str()};
}

template <class C>
C parse_ok(std::vector<std::string> args) {
    Parsed p = parse(args);
    EXPECT_TRUE(std::holds_alternative<Cli>(p.result)) << p.err;
    if (!std::holds_alternative<Cli>(p.result)) return C{};
    const Cmd& cmd = std::get<Cli>(p.result).cmd;
    EXPECT_TRUE(std::holds_alternative<C>(cmd));
    return std::holds_alternative<C>(cmd) ? std::get<C>(cmd) : C{};
}

std::vector<std::string> encode_args(std::vector<std::string> extra) {
    std::vector<std::string> args{"encode", "-i", "frames", "-o", "out.quorvex"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(Cli, EncodeDefaults) {
    EncodeCmd c = parse_ok<EncodeCmd>(encode_args({}));
    EXPECT_EQ(c.input, "frames");
    EXPECT_EQ(c.output, "out.quorvex");
    EXPECT_EQ(c.pos_mm, 2.0);
    EXPECT_EQ(c.color_levels, 4);
    EXPECT_EQ(c.rot_steps, 0);
    EXPECT_EQ(c.scale_pct, 2.0);
    EXPECT_EQ(c.gop, 30u);
    EXPECT_EQ(c.zstd_level, 3);
    EXPECT_FALSE(c.denoise_colors);
    EXPECT_FALSE(c.no_verify);
    EXPECT_FALSE(c.fps);
    EXPECT_FALSE(c.report);
    EXPECT_FALSE(c.perm_out);
}

TEST(Cli, EncodeEveryOption) {
    EncodeCmd c = parse_ok<EncodeCmd>({"encode", "--input", "in dir", "--output", "o.q", "--pos-mm", "0.5",
                                       "--color-levels", "2", "--rot-steps", "3", "--scale-pct", "3.7", "--gop",
                                       "12", "--zstd-level", "-5", "--denoise-colors", "--no-verify", "--fps",
                                       "29.97", "--report", "r.json", "--perm-out", "p.bin"});
    EXPECT_EQ(c.input, "in dir");
    EXPECT_EQ(c.output, "o.q");
    EXPECT_EQ(c.pos_mm, 0.5);
    EXPECT_EQ(c.color_levels, 2);
    EXPECT_EQ(c.rot_steps, 3);
    EXPECT_EQ(c.scale_pct, 3.7);
    EXPECT_EQ(c.gop, 12u);
    EXPECT_EQ(c.zstd_level, -5);
    EXPECT_TRUE(c.denoise_colors);
    EXPECT_TRUE(c.no_verify);
    ASSERT_TRUE(c.fps);
    EXPECT_EQ(*c.fps, 29.97f);
    EXPECT_EQ(c.report, std::filesystem::path("r.json"));
    EXPECT_EQ(c.perm_out, std::filesystem::path("p.bin"));
}

// Values the parser must accept unchanged, including ones the encoder refuses later.
TEST(Cli, NumbersAreDecimalAndExact) {
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--color-levels", "-1"})).color_levels, -1);
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--color-levels", "-2147483648"})).color_levels,
              std::numeric_limits<int32_t>::min());
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--rot-steps", "2147483647"})).rot_steps,
              std::numeric_limits<int32_t>::max());
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--gop", "0"})).gop, 0u);
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--gop", "18446744073709551615"})).gop,
              std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--zstd-level", "0"})).zstd_level, 0);
    // Leading zeros are decimal, not octal.
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--color-levels", "010"})).color_levels, 10);
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--gop", "+8"})).gop, 8u);
    EXPECT_EQ(parse_ok<EncodeCmd>(encode_args({"--pos-mm", "1e-1"})).pos_mm, 0.1);
    // A 32-bit float is read from its own text, not rounded through a wider type first: this
    // text lies a hair above the midpoint between 1 and the next float, which a long double
    // cannot resolve (it rounds to the midpoint, and then to even: 1).
    EXPECT_EQ(*parse_ok<EncodeCmd>(encode_args({"--fps", "1.00000005960464477539062500000000001"})).fps,
              1.00000011920928955078125f);
    EXPECT_EQ(*parse_ok<EncodeCmd>(encode_args({"--fps", "0.1"})).fps, 0.1f);
    // Non-finite text parses; the encoder refuses it later with a clear message.
    EXPECT_TRUE(std::isnan(parse_ok<EncodeCmd>(encode_args({"--pos-mm", "nan"})).pos_mm));
}

TEST(Cli, VerifyDecodeInfo) {
    VerifyCmd v = parse_ok<VerifyCmd>({"verify", "f.quorvex", "-i", "frames", "--fps", "24"});
    EXPECT_EQ(v.file, "f.quorvex");
    EXPECT_EQ(v.input, "frames");
    EXPECT_EQ(v.fps, 24.0f);
    EXPECT_FALSE(parse_ok<VerifyCmd>({"verify", "--input", "d", "f"}).fps);

    DecodeCmd d = parse_ok<DecodeCmd>({"decode", "f.quorvex", "-o", "x.splat"});
    EXPECT_EQ(d.file, "f.quorvex");
    EXPECT_EQ(d.frame, 0u);
    EXPECT_EQ(d.output, "x.splat");
    EXPECT_EQ(parse_ok<DecodeCmd>({"decode", "f", "--frame", "7", "--output", "y"}).frame, 7u);

    EXPECT_EQ(parse_ok<InfoCmd>({"info", "f.quorvex"}).file, "f.quorvex");
}

// Every usage error ends with status 2 and the parser's message on the error stream.
TEST(Cli, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string err_part;
    };
    const std::vector<Case> cases = {
        {{"transmogrify"}, "transmogrify"},
        {{"verify", "f.quorvex"}, "--input is required"},
        {{"encode", "-i", "frames"}, "--output is required"},
        {{"decode", "f.quorvex"}, "--output is required"},
        {{"info"}, "file is required"},
        {{"info", "a", "b"}, "not expected"},
        {{"info", "f", "--verbose"}, "--verbose"},
        {{"--"}, "not expected"},
        {encode_args({"--gop", "-1"}), "--gop: value -1 is not an unsigned decimal integer"},
        {encode_args({"--gop", "18446744073709551616"}), "--gop: value 18446744073709551616 is out of range"},
        {encode_args({"--color-levels", "2147483648"}), "out of range -2147483648..2147483647"},
        {encode_args({"--rot-steps", "-2147483649"}), "--rot-steps: value -2147483649 is out of range"},
        {encode_args({"--zstd-level", "0x10"}), "--zstd-level: value 0x10 is not"},
        {encode_args({"--color-levels", "1.5"}), "--color-levels: value 1.5 is not"},
        {encode_args({"--pos-mm", "abc"}), "--pos-mm: value abc is not a 64-bit floating-point number"},
        {encode_args({"--scale-pct", ""}), "--scale-pct"},
        {encode_args({"--fps", "1e99"}), "--fps: value 1e99 is out of range"},
        {encode_args({"--gop", "5", "--gop", "6"}), "--gop"},
        {encode_args({"--no-verify=false"}), "no-verify"},
        {{"decode", "f", "-o", "x", "--frame", "-1"}, "--frame: value -1 is not an unsigned decimal integer"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<int>(p.result)) << c.args.back();
        EXPECT_EQ(std::get<int>(p.result), 2) << c.args.back();
        EXPECT_NE(p.err.find(c.err_part), std::string::npos) << p.err;
        EXPECT_EQ(p.out, "");
    }
}

TEST(Cli, NoArgumentsPrintsHelpToErrorStream) {
    std::vector<char*> argv{const_cast<char*>("quorvex"), nullptr};
    std::ostringstream out, err;
    auto r = parse_cli(1, argv.data(), out, err);
    ASSERT_TRUE(std::holds_alternative<int>(r));
    EXPECT_EQ(std::get<int>(r), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("4D gaussian splat compressor with deterministic error bounds"), std::string::npos);
    EXPECT_NE(err.str().find("Print header and section statistics"), std::string::npos);
}

TEST(Cli, HelpListsSubcommandsAndEncodeOptions) {
    Parsed top = parse({"--help"});
    ASSERT_TRUE(std::holds_alternative<int>(top.result));
    EXPECT_EQ(std::get<int>(top.result), 0);
    const char* subcommands[] = {
        "Compress a directory of .splat frames into one .quorvex file",
        "Verify a .quorvex against its source frames (exhaustive, every splat every frame)",
        "Reconstruct one frame back to a .splat file",
        "Print header and section statistics",
    };
    size_t at = 0;
    for (const char* s : subcommands) {  // listed in this order
        size_t found = top.out.find(s, at);
        EXPECT_NE(found, std::string::npos) << s;
        at = found == std::string::npos ? at : found;
    }

    Parsed enc = parse({"encode", "--help"});
    ASSERT_TRUE(std::holds_alternative<int>(enc.result));
    EXPECT_EQ(std::get<int>(enc.result), 0);
    const char* parts[] = {
        "-i,--input INPUT",
        "Directory containing frame_*.splat (+ optional frames.json manifest)",
        "-o,--output OUTPUT",
        "Output .quorvex path",
        "--pos-mm POS_MM=2",
        "Max absolute position error, millimeters",
        "--color-levels COLOR_LEVELS=4",
        "Max absolute color/opacity error, 8-bit levels",
        "--rot-steps ROT_STEPS=0",
        "Max absolute quaternion-component error, units of 1/128 (0 = lossless vs input grid)",
        "--scale-pct SCALE_PCT=2",
        "Max relative scale error, percent",
        "--gop GOP=30",
        "Frames per GOP (keyframe interval)",
        "--zstd-level ZSTD_LEVEL=3",
        "zstd compression level (0 = auto: 19, with 13 for very large streams)",
        "--denoise-colors",
        "Temporal median-of-5 prefilter on colors (bounds then hold vs the smoothed signal)",
        "--no-verify",
        "Skip the exhaustive decode-and-check pass",
        "--fps FPS",
        "Frames per second if no frames.json manifest is present",
        "--report REPORT",
        "Write a machine-readable metrics report to this JSON path",
        "--perm-out PERM_OUT",
        "Write the splat permutation (file order -> input index, n×u32 LE); lets a viewer align original "
        "frames with the encoded ordering",
    };
    at = 0;
    for (const char* s : parts) {
        size_t found = enc.out.find(s, at);
        EXPECT_NE(found, std::string::npos) << s;
        at = found == std::string::npos ? at : found;
    }
}

TEST(Cli, BoundsFromOptions) {
    EncodeCmd c;
    c.pos_mm = 0.5;
    c.scale_pct = 1;
    c.color_levels = 2;
    c.rot_steps = 3;
    Bounds b = bounds_from(c);
    EXPECT_EQ(b.pos_m, 0.5 / 1000);
    EXPECT_EQ(b.scale_rel, 0.01);
    EXPECT_EQ(b.rgb, 2);
    EXPECT_EQ(b.alpha, 2);
    EXPECT_EQ(b.rot, 3);
    // The defaults give the codec's default bounds.
    EXPECT_EQ(bounds_from(EncodeCmd{}), Bounds{});
}

TEST(Cli, ValidateEncodeOptionsRefusesUnusableValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        void (*set)(EncodeCmd&, double);
        double value;
        std::string message;
    };
    auto gop = [](EncodeCmd& c, double v) { c.gop = static_cast<uint64_t>(v); };
    auto pos = [](EncodeCmd& c, double v) { c.pos_mm = v; };
    auto scale = [](EncodeCmd& c, double v) { c.scale_pct = v; };
    auto color = [](EncodeCmd& c, double v) { c.color_levels = static_cast<int32_t>(v); };
    auto rot = [](EncodeCmd& c, double v) { c.rot_steps = static_cast<int32_t>(v); };
    auto fps = [](EncodeCmd& c, double v) { c.fps = static_cast<float>(v); };
    auto zstd = [](EncodeCmd& c, double v) { c.zstd_level = static_cast<int32_t>(v); };
    const std::vector<Case> cases = {
        {gop, 0, "--gop must be at least 1 (got 0)"},
        {pos, 0, "--pos-mm must be a positive finite number (got 0)"},
        {pos, -1, "--pos-mm must be a positive finite number (got -1)"},
        {pos, inf, "--pos-mm must be a positive finite number (got inf)"},
        {pos, nan, "--pos-mm must be a positive finite number (got NaN)"},
        {pos, 4.9e-324, "--pos-mm is too small to give a quantisation step (got 0." + std::string(323, '0') + "5)"},
        {scale, 0, "--scale-pct must be a positive finite number (got 0)"},
        {scale, -2.5, "--scale-pct must be a positive finite number (got -2.5)"},
        {scale, -inf, "--scale-pct must be a positive finite number (got -inf)"},
        {scale, 1e-20, "--scale-pct is too small to give a quantisation step (got 0.00000000000000000001)"},
        {color, -1, "--color-levels must be between 0 and 1000000 (got -1)"},
        {color, 1000001, "--color-levels must be between 0 and 1000000 (got 1000001)"},
        {color, 2147483647, "--color-levels must be between 0 and 1000000 (got 2147483647)"},
        {rot, -2147483648.0, "--rot-steps must be between 0 and 1000000 (got -2147483648)"},
        {rot, 1073741824, "--rot-steps must be between 0 and 1000000 (got 1073741824)"},
        {fps, 0, "--fps must be a positive finite number (got 0)"},
        {fps, -30, "--fps must be a positive finite number (got -30)"},
        {fps, nan, "--fps must be a positive finite number (got NaN)"},
        {fps, inf, "--fps must be a positive finite number (got inf)"},
        {zstd, 23, "--zstd-level must be between -131072 and 22 (got 23)"},
        {zstd, -131073, "--zstd-level must be between -131072 and 22 (got -131073)"},
    };
    for (const Case& c : cases) {
        EncodeCmd cmd;
        c.set(cmd, c.value);
        Status s = validate_encode_options(cmd);
        ASSERT_FALSE(s) << c.message;
        EXPECT_EQ(s.error().render(), c.message);
    }
}

TEST(Cli, ValidateEncodeOptionsAcceptsUsableExtremes) {
    std::vector<EncodeCmd> good(9);
    good[1].gop = 1;
    good[2].gop = std::numeric_limits<uint64_t>::max();
    good[3].color_levels = 0;
    good[3].rot_steps = 0;
    good[4].color_levels = 1'000'000;
    good[4].rot_steps = 1'000'000;
    good[5].zstd_level = 0;
    good[6].zstd_level = -131072;
    good[6].fps = 0.001f;
    good[7].zstd_level = 22;
    good[7].pos_mm = 1e-300;
    good[7].scale_pct = 1e-10;
    good[8].pos_mm = std::numeric_limits<double>::max();
    good[8].scale_pct = std::numeric_limits<double>::max();
    good[8].fps = std::numeric_limits<float>::max();
    for (size_t i = 0; i < good.size(); ++i) {
        Status s = validate_encode_options(good[i]);
        EXPECT_TRUE(s) << i << ": " << (s ? "" : s.error().render());
    }
}

}  // namespace
}  // namespace quorvex
