// The verify command: its six lines, the exit status on a violation, the denoise taken from
// the header, and the bounds recomputed from the stored fractions.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/front_end.hpp"
#include "main/command_runner.hpp"
#include "model/frames.hpp"
#include "support/float_text.hpp"
#include "support/parallel.hpp"
#include "support/synth.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using test::run_quorvex;
using test::split_lines;

test::SynthParams sequence_params() {
    test::SynthParams p;
    p.t = 6;
    p.n = 150;
    p.seed = 11;
    p.static_fraction = 0.4;
    p.jitter = 0.001f;
    p.colour_flicker = 3;
    return p;
}

class VerifyCommand : public ::testing::Test {
  protected:
    void SetUp() override { write_input(test::make_frames(sequence_params())); }

    void write_input(const Frames& f) {
        fs::create_directories(input());
        test::write_frames(input(), f);
    }
    fs::path input() const { return dir_ / "frames"; }
    fs::path container() const { return dir_ / "out.quorvex"; }

    void encode(std::vector<std::string> extra) {
        std::vector<std::string> args{"encode",     "-i", input().string(), "-o", container().string(),
                                      "--no-verify"};
        args.insert(args.end(), extra.begin(), extra.end());
        const test::RunResult r = run_quorvex(std::move(args));
        ASSERT_EQ(r.status, 0) << r.err;
    }
    test::RunResult run_verify() {
        return run_quorvex({"verify", container().string(), "-i", input().string()});
    }

    test::TempDir dir_{"verify-cmd"};
};

// The six lines with the measured values masked; the bounds stay as printed.
std::vector<std::string> masked_lines(const std::string& out) {
    static const std::regex value(R"(max err [0-9.]+)");
    std::vector<std::string> lines;
    for (const std::string& l : split_lines(out)) lines.push_back(std::regex_replace(l, value, "max err #"));
    return lines;
}

TEST_F(VerifyCommand, PassingRunPrintsSixLines) {
    encode({"--color-levels", "3", "--rot-steps", "2"});
    const test::RunResult r = run_verify();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(masked_lines(r.out), (std::vector<std::string>{
                                       "pos    max err # mm   (bound 2 mm)",
                                       "scale  max err #%      (bound 2%)",
                                       "rgb    max err # levels  (bound 3)",
                                       "alpha  max err # levels  (bound 3)",
                                       "rot    max err # /128    (bound 2)",
                                       "BOUNDS VERIFIED",
                                   }));
    EXPECT_TRUE(r.out.ends_with("VERIFIED\n"));
    // Four decimals of millimetres and three of percent.
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^pos    max err [0-9]+\.[0-9]{4} mm)")));
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\nscale  max err [0-9]+\.[0-9]{3}%)")));
}

TEST_F(VerifyCommand, FramesChangedBeyondTheBoundsAreViolated) {
    encode({});
    // Move one splat's colour by 100 levels in every frame: its static/dynamic pattern and its
    // position (hence the container's splat order) stay as they were.
    Frames f = test::make_frames(sequence_params());
    const int shift = f.rgb[17 * 3] < 128 ? 100 : -100;
    for (uint64_t k = 0; k < f.t; ++k) {
        uint8_t& red = f.rgb[(k * f.n + 17) * 3];
        red = static_cast<uint8_t>(red + shift);
    }
    write_input(f);

    const test::RunResult r = run_verify();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");  // a violation is a result, not an error
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[5], "BOUNDS VIOLATED");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[2], m, std::regex(R"(rgb    max err (\d+) levels  \(bound 4\))")));
    EXPECT_GE(std::stoi(m[1].str()), 96);
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(alpha  max err [0-4] levels  \(bound 4\))")));
}

TEST_F(VerifyCommand, DenoisedContainerVerifiesAgainstTheSameDirectory) {
    // Heavy flicker, so the median filter moves colours far beyond the colour bound.
    test::SynthParams p = sequence_params();
    p.colour_flicker = 40;
    write_input(test::make_frames(p));
    encode({"--denoise-colors"});

    const test::RunResult r = run_verify();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\nBOUNDS VERIFIED\n")) << r.out;

    // The check above means something only if the unfiltered colours fail against this
    // container: verification without the denoise must report a violation.
    Result<Decoder> dec = Decoder::open(container());
    ASSERT_TRUE(dec) << dec.error().render();
    ASSERT_TRUE(dec->header.denoised);
    Result<Frames> raw = Frames::load(input(), std::nullopt);
    ASSERT_TRUE(raw) << raw.error().render();
    (void)front_end(*raw, dec->header.bounds);
    Result<VerifyReport> rep = quorvex::verify(*dec, *raw);
    ASSERT_TRUE(rep) << rep.error().render();
    EXPECT_FALSE(rep->ok);
    EXPECT_GT(rep->rgb_err, 4);
}

TEST_F(VerifyCommand, BoundsComeBackFromTheStoredFractions) {
    struct Case {
        std::string pos_mm, scale_pct;
        std::string pos_text, scale_text;
    };
    // 0.5 / 1000 * 1000 is exactly 0.5 again; 3.7 / 100 * 100 is not 3.7 in binary.
    const Case cases[] = {
        {"0.5", "3.7", "0.5", plain_text(3.7 / 100 * 100)},
        {"2", "2", "2", "2"},
        {"0.25", "10", "0.25", "10"},
    };
    ASSERT_NE(plain_text(3.7 / 100 * 100), "3.7");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pos_mm + " mm, " + c.scale_pct + " %");
        const test::RunResult e = run_quorvex({"encode", "-i", input().string(), "-o", container().string(),
                                               "--pos-mm", c.pos_mm, "--scale-pct", c.scale_pct});
        ASSERT_EQ(e.status, 0) << e.err;
        // encode prints the option values as given.
        EXPECT_NE(e.err.find(fmt::format("(bound {} mm)\n", c.pos_mm)), std::string::npos) << e.err;
        EXPECT_NE(e.err.find(fmt::format("(bound {}%)\n", c.scale_pct)), std::string::npos) << e.err;

        const test::RunResult r = run_verify();
        EXPECT_EQ(r.status, 0);
        const std::vector<std::string> lines = masked_lines(r.out);
        ASSERT_EQ(lines.size(), 6u) << r.out;
        EXPECT_EQ(lines[0], fmt::format("pos    max err # mm   (bound {} mm)", c.pos_text));
        EXPECT_EQ(lines[1], fmt::format("scale  max err #%      (bound {}%)", c.scale_text));
    }
}

TEST_F(VerifyCommand, OrderIsReproducedWhateverTheThreadCount) {
    // One-metre cells put many splats on the same sort key, so the order rests on the index
    // tie-break; the container is written with several threads and checked with one.
    const test::RunResult e = with_threads(3, [&] {
        return run_quorvex({"encode", "-i", input().string(), "-o", container().string(), "--pos-mm", "1000",
                            "--no-verify"});
    });
    ASSERT_EQ(e.status, 0) << e.err;
    const test::RunResult r = with_threads(1, [&] { return run_verify(); });
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\nBOUNDS VERIFIED\n")) << r.out;
}

TEST_F(VerifyCommand, DifferentSplatCountIsAnError) {
    encode({});
    fs::remove_all(input());
    test::SynthParams p = sequence_params();
    p.n += 1;
    write_input(test::make_frames(p));

    const test::RunResult r = run_verify();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: ")) << r.err;
}

}  // namespace
}  // namespace quorvex
