#pragma once
// Test fixtures: deterministic synthetic Frames built in memory, raw .splat records and
// frame files, manifests, and self-removing temporary directories.
//
// Everything random comes from splitmix64 seeded by SynthParams::seed, so a parameter set
// always produces the same bytes. The file writers report failures through gtest
// (ADD_FAILURE) rather than returning errors, so tests can call them in one line.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/frames.hpp"

namespace quorvex::test {

// splitmix64: next() advances by the golden-ratio increment and mixes the state.
struct SplitMix64 {
    uint64_t state = 0;

    uint64_t next();
    // Uniform in [0, 1), 53 random bits.
    double uniform();
    // Uniform in [lo, hi).
    double uniform(double lo, double hi);
    // Uniform integer in [0, bound); bound must be > 0.
    uint64_t below(uint64_t bound);
    // True with probability p.
    bool chance(double p);
};

// A generator for one (seed, a, b) triple, independent of the order in which triples are
// visited: used per splat (a = splat) and per splat and frame (a = splat, b = frame + 1).
SplitMix64 stream_for(uint64_t seed, uint64_t a, uint64_t b = 0);

struct SynthParams {
    uint64_t t = 4;   // frames
    uint64_t n = 32;  // splats per frame
    uint64_t seed = 1;
    float fps = 30.0f;
    // Fraction of splats whose every attribute is bit-identical in every frame.
    double static_fraction = 0.5;
    // Metres per frame that each moving splat travels, along its own random direction.
    float drift = 0.01f;
    // Per-frame uniform noise of ± jitter metres on the position of moving splats.
    float jitter = 0.0f;
    // Per-frame uniform noise of ± colour_flicker levels on the colour of moving splats.
    int colour_flicker = 0;
    // Fraction of position components (of any splat, in every frame) that are NaN, +inf or
    // -inf, the three chosen in turn.
    double nonfinite_fraction = 0.0;
    // Fraction of (splat, frame >= 1) pairs whose quaternion is negated relative to the
    // smooth motion: q and -q are the same rotation, as raw per-frame training emits them.
    double flip_fraction = 0.0;
    // Apply the loader's hemisphere rule, so the planes look like a loaded sequence.
    // Leave it on for in-memory Frames; turn it off to write raw frames with sign flips.
    bool align = true;
};

// Builds t × n Frames directly in memory. Quaternion components lie in -127 … 127 and
// take both signs; scale_log lies in ln(0.001) … ln(0.1) plus a slow growth for moving
// splats; static splats are exactly constant.
Frames make_frames(const SynthParams& p);

// A .splat record with its fields in record order.
struct SplatRecord {
    std::array<float, 3> pos{};
    std::array<float, 3> scale{1.0f, 1.0f, 1.0f};
    std::array<uint8_t, 3> rgb{};
    uint8_t alpha = 255;
    std::array<uint8_t, 4> rot{128, 128, 128, 128};
};

// The 32-byte little-endian encoding of records, concatenated.
std::vector<uint8_t> encode_records(std::span<const SplatRecord> records);

// Frame k of `f` as records: scale = exp(scale_log) and rotation byte = value + 128.
// A reload reproduces pos, rgb, alpha and (aligned) rot exactly, scale_log only to within
// float rounding of exp/log.
std::vector<SplatRecord> frame_records(const Frames& f, uint64_t k);

// Whole-file writers; the parent directory must exist.
void write_bytes(const std::filesystem::path& path, std::span<const uint8_t> bytes);
void write_text(const std::filesystem::path& path, std::string_view text);
void write_splats(const std::filesystem::path& path, std::span<const SplatRecord> records);

// Writes every frame of `f` as dir/frame_%05d.splat; returns the file names in order.
std::vector<std::string> write_frames(const std::filesystem::path& dir, const Frames& f);

// Writes dir/frames.json listing `files` in order, with frame k's timestamp k / fps.
void write_manifest(const std::filesystem::path& dir, float fps, std::span<const std::string> files);

// Compares two Frames bit for bit (NaN payloads included): t, n, fps and every plane.
// The failure message names the first differing field and element index.
::testing::AssertionResult frames_identical(const Frames& a, const Frames& b);

// A fresh directory temp_directory_path()/"qx-<name>-<pid>-<counter>", removed with its
// contents on destruction.
class TempDir {
  public:
    explicit TempDir(std::string_view name = "test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

  private:
    std::filesystem::path path_;
};

}  // namespace quorvex::test
