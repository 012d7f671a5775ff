#pragma once
// The container header and its records. Written as compact JSON with keys in declared
// order; read back in any key order with every declared key required.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.hpp"
#include "support/json.hpp"

namespace quorvex {

struct Bounds {
    double pos_m = 0.002;     // maximum position error, metres
    double scale_rel = 0.02;  // maximum relative scale error (0.02 for 2 %)
    int32_t rgb = 4;          // maximum colour error, 8-bit levels
    int32_t alpha = 4;        // maximum opacity error, levels
    int32_t rot = 0;          // maximum quaternion-component error, units of 1/128
    bool operator==(const Bounds&) const = default;
};

struct Steps {
    double pos = 0.0;             // 2 × pos_m
    double base_pos = 0.0;        // pos_m
    double scale_log = 0.0;       // 2 × ln(1 + scale_rel)
    double base_scale_log = 0.0;  // ln(1 + scale_rel)
    int32_t rgb = 1;              // 2 × rgb + 1
    int32_t alpha = 1;            // 2 × alpha + 1
    int32_t rot = 1;              // 2 × rot + 1
    bool operator==(const Steps&) const = default;
};

// The one rule that turns bounds into quantisation steps.
Steps steps_from(const Bounds& b);

struct DynCounts {
    uint64_t pos = 0, rot = 0, rgb = 0, alpha = 0, scale = 0;
    bool operator==(const DynCounts&) const = default;
};

struct Group {
    uint8_t mask = 0;  // dynamic pattern: bit a set when attribute a is dynamic
    uint64_t count = 0;
    bool operator==(const Group&) const = default;
};

struct Span {
    uint64_t offset = 0;
    uint64_t len = 0;
    bool operator==(const Span&) const = default;
};

struct GopSpan {
    uint64_t offset = 0;
    uint64_t len = 0;
    uint64_t f0 = 0;  // first frame
    uint64_t f1 = 0;  // last frame, inclusive
    float t0 = 0.0f;  // f0 / fps
    float t1 = 0.0f;  // f1 / fps
    bool operator==(const GopSpan&) const = default;
};

struct Header {
    uint64_t n = 0;
    uint64_t t = 0;
    float fps = 0.0f;
    uint64_t gop = 0;
    Bounds bounds;
    Steps steps;
    DynCounts dyn;
    std::vector<Group> groups;
    std::array<float, 6> aabb{};
    bool denoised = false;
    Span static_section;
    std::vector<GopSpan> gops;
    bool operator==(const Header&) const = default;
};

// Writes `b` as one JSON object: keys in declared order as in the header, or ascending for
// documents whose objects are ordered maps (the encode report).
void write_json(JsonOut& out, const Bounds& b, KeyOrder order = KeyOrder::declared);

// Compact JSON, no whitespace, keys in declared order, non-finite floats as null.
Result<std::string> header_to_json(const Header& h);
// The same keys, order and values, indented two spaces per level (no trailing line break).
Result<std::string> header_to_pretty_json(const Header& h);
// Parses header text; errors are the JSON reader's, with line and column.
Result<Header> parse_header(std::string_view text);

}  // namespace quorvex
