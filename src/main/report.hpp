#pragma once
// The encode command's optional outputs: the JSON metrics report and the permutation file.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "encode/encode.hpp"
#include "main/cli.hpp"
#include "main/console.hpp"
#include "main/stream_table.hpp"
#include "model/frames.hpp"
#include "support/error.hpp"

namespace quorvex {

// The verification values as printed and reported.
struct VerifyValues {
    double pos_mm = 0.0;     // maximum position error × 1000
    double scale_pct = 0.0;  // (e^(maximum log-scale error) − 1) × 100
    int32_t rgb_levels = 0;
    int32_t alpha_levels = 0;
    int32_t rot_units = 0;
    bool ok = false;
};

struct EncodeTimes {
    double parse = 0.0;
    double encode = 0.0;
    double write = 0.0;
};

struct ReportInputs {
    const EncodeCmd& cmd;
    const Bounds& bounds;
    const std::optional<DenoiseStats>& denoise;
    const Encoded& encoded;
    const std::map<std::string, TableRow>& table;
    EncodeTimes times;
    Clock::time_point start;  // "total" is read when the report is built
    const std::optional<VerifyValues>& verify;
};

// The report text: every object's keys in ascending byte-wise order, non-finite floats as null,
// two-space indentation, no trailing line break.
Result<std::string> report_json(const ReportInputs& in);

// n little-endian u32: file position → input index.
std::vector<uint8_t> permutation_bytes(const FrontEnd& fe);

}  // namespace quorvex
