#pragma once
// Frames: a loaded sequence of t frames × n splats as five flat attribute planes.
// Every plane is frame-major with a splat's components adjacent: element (frame k,
// splat i, component j) of a plane with c components sits at (k * n + i) * c + j.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "support/error.hpp"

namespace quorvex {

struct DenoiseStats {
    double mean_dev = 0.0;  // mean |new - old| over every colour component, in levels
    double p99_dev = 0.0;   // 99th percentile of |new - old|, an integer value
};

struct Frames {
    std::vector<float> pos;        // t × n × 3, metres
    std::vector<float> scale_log;  // t × n × 3, ln(max(scale, 1e-9)) in single precision
    std::vector<uint8_t> rgb;      // t × n × 3
    std::vector<uint8_t> alpha;    // t × n
    std::vector<int16_t> rot;      // t × n × 4, byte − 128, hemisphere-aligned
    uint64_t t = 0;
    uint64_t n = 0;
    float fps = 30.0f;
    // The frame files in frame order, as loading found them (directory joined with the name);
    // empty for sequences built in memory. Used to name a file in messages about its content.
    std::vector<std::filesystem::path> files;

    // Loads a frame directory: frames.json when present (its order and fps), otherwise every
    // "*.splat" entry in byte-wise path order with `fps` or 30. Decodes frames in parallel and
    // aligns each splat's quaternion to the hemisphere of the previous frame.
    static Result<Frames> load(const std::filesystem::path& dir, std::optional<float> fps);

    // Replaces every colour component by the median of five frames centred on it (frame
    // indices clamped to the sequence), all samples taken from the unfiltered plane.
    DenoiseStats denoise_colors();
};

// t frames of n splats with every plane sized and zero-filled (fps 30, no file names). The
// caller ensures t × n × 36 bytes are addressable; allocation failure throws std::bad_alloc.
Frames zeroed_frames(uint64_t t, uint64_t n);

}  // namespace quorvex
