#pragma once
// The optional frames.json manifest of a frame directory.

#include <string>
#include <string_view>
#include <vector>

#include "support/error.hpp"

namespace quorvex {

struct ManifestFrame {
    std::string file;        // resolved against the input directory
    double timestamp = 0.0;  // checked for type, otherwise unused
};

struct Manifest {
    float fps = 0.0f;
    std::vector<ManifestFrame> frames;
};

// Parses manifest text (object form {"fps", "frames"} or array form [fps, frames]; each frame
// {"file", "timestamp"} or [file, timestamp]). Errors are the JSON reader's message with line
// and column: "missing field `fps`", "duplicate field `file`", type and syntax errors.
Result<Manifest> parse_manifest(std::string_view text);

}  // namespace quorvex
