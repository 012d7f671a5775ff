#include "encode/header.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace quorvex {
namespace {

// A small header with values whose text is easy to predict; steps are filled in by hand.
Header small_header() {
    Header h;
    h.n = 3;
    h.t = 2;
    h.fps = 29.97f;
    h.gop = 8;
    h.bounds = Bounds{0.002, 0.02, 4, 4, 0};
    h.steps = Steps{0.004, 0.002, 0.5, 0.25, 9, 9, 1};
    h.dyn = DynCounts{1, 0, 2, 0, 0};
    h.groups = {Group{5, 1}, Group{0, 2}};
    h.aabb = {-1.0f, -0.5f, 0.0f, 1.0f, 0.1f, 2.25f};
    h.denoised = false;
    h.static_section = Span{12, 300};
    h.gops = {GopSpan{312, 40, 0, 1, 0.0f, 1.0f / 30.0f}};
    return h;
}

const char* const kSmallCompact =
    R"({"n":3,"t":2,"fps":29.97,"gop":8,)"
    R"("bounds":{"pos_m":0.002,"scale_rel":0.02,"rgb":4,"alpha":4,"rot":0},)"
    R"("steps":{"pos":0.004,"base_pos":0.002,"scale_log":0.5,"base_scale_log":0.25,"rgb":9,"alpha":9,"rot":1},)"
    R"("dyn":{"pos":1,"rot":0,"rgb":2,"alpha":0,"scale":0},)"
    R"("groups":[{"mask":5,"count":1},{"mask":0,"count":2}],)"
    R"("aabb":[-1,-0.5,0,1,0.1,2.25],"denoised":false,"static_section":{"offset":12,"len":300},)"
    R"("gops":[{"offset":312,"len":40,"f0":0,"f1":1,"t0":0,"t1":0.033333335}]})";

std::string compact(const Header& h) {
    auto text = header_to_json(h);
    EXPECT_TRUE(text) << text.error().message();
    return text ? *text : std::string();
}

// Replaces the one occurrence of `from` in `text`.
std::string edit(std::string text, std::string_view from, std::string_view to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(Header, CompactTextHasDeclaredKeyOrderAndNoWhitespace) {
    EXPECT_EQ(compact(small_header()), kSmallCompact);
}

TEST(Header, PrettyTextIndentsTwoSpaces) {
    Header h = small_header();
    h.groups.resize(1);
    h.gops.clear();
    auto text = header_to_pretty_json(h);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({
  "n": 3,
  "t": 2,
  "fps": 29.97,
  "gop": 8,
  "bounds": {
    "pos_m": 0.002,
    "scale_rel": 0.02,
    "rgb": 4,
    "alpha": 4,
    "rot": 0
  },
  "steps": {
    "pos": 0.004,
    "base_pos": 0.002,
    "scale_log": 0.5,
    "base_scale_log": 0.25,
    "rgb": 9,
    "alpha": 9,
    "rot": 1
  },
  "dyn": {
    "pos": 1,
    "rot": 0,
    "rgb": 2,
    "alpha": 0,
    "scale": 0
  },
  "groups": [
    {
      "mask": 5,
      "count": 1
    }
  ],
  "aabb": [
    -1,
    -0.5,
    0,
    1,
    0.1,
    2.25
  ],
  "denoised": false,
  "static_section": {
    "offset": 12,
    "len": 300
  },
  "gops": []
})");
    auto back = parse_header(*text);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, h);
}

TEST(Header, RoundTripKeepsExtremesBitForBit) {
    Header h = small_header();
    h.n = UINT64_MAX;
    h.t = 1ull << 53 | 1;  // not representable as a double
    h.fps = 0.1f;
    h.gop = UINT64_MAX - 1;
    h.bounds = Bounds{0.1, 1e-300, INT32_MIN, INT32_MAX, -1};
    h.steps = Steps{0.2, 0.1, std::log(1.02) * 2, std::log(1.02), INT32_MAX, -7, 0};
    h.dyn = DynCounts{UINT64_MAX, 1, 2, 3, 4};
    h.groups = {Group{255, UINT64_MAX}, Group{0, 0}, Group{31, 7}};
    h.aabb = {std::numeric_limits<float>::lowest(),
              -std::numeric_limits<float>::denorm_min(),
              0.1f,
              1e-7f,
              std::numeric_limits<float>::max(),
              16777217.0f};
    h.denoised = true;
    h.static_section = Span{UINT64_MAX, 0};
    h.gops = {GopSpan{1, 2, 0, 9, 0.0f, 0.3f}, GopSpan{3, UINT64_MAX, 10, 10, 1.0f / 3.0f, 1e30f}};
    // A spread of f32 bit patterns from a fixed generator, all finite.
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 200; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        float f = std::bit_cast<float>(static_cast<uint32_t>(state >> 32));
        if (!std::isfinite(f)) continue;
        h.gops.push_back(GopSpan{state, state >> 7, 0, 0, f, -f});
    }

    for (auto write : {header_to_json, header_to_pretty_json}) {
        auto text = write(h);
        ASSERT_TRUE(text);
        auto back = parse_header(*text);
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_EQ(*back, h);
        for (size_t g = 0; g < h.gops.size(); ++g) {
            EXPECT_EQ(std::bit_cast<uint32_t>(back->gops[g].t0), std::bit_cast<uint32_t>(h.gops[g].t0));
        }
        EXPECT_EQ(std::bit_cast<uint32_t>(back->aabb[1]), std::bit_cast<uint32_t>(h.aabb[1]));
    }
    // An f32 is written as its own shortest text, not as its widened double.
    EXPECT_NE(compact(h).find(R"("fps":0.1,)"), std::string::npos);
}

TEST(Header, ReorderedKeysWhitespaceAndExtraKeysParseTheSame) {
    const char* text = R"(
      { "gops": [ {"t1": 0.033333335, "t0": 0, "f1": 1, "f0": 0, "len": 40, "offset": 312, "note": [1, {"a": null}]} ],
        "static_section": {"len": 300, "offset": 12},
        "denoised": false,
        "aabb": [-1.0, -0.5, 0, 1, 0.1, 2.25],
        "groups": [{"count": 1, "mask": 5}, {"count": 2, "extra": "x", "mask": 0}],
        "dyn": {"scale": 0, "alpha": 0, "rgb": 2, "rot": 0, "pos": 1},
        "steps": {"rot": 1, "alpha": 9, "rgb": 9, "base_scale_log": 0.25, "scale_log": 0.5, "base_pos": 0.002, "pos": 4e-3},
        "bounds": {"rot": 0, "alpha": 4, "rgb": 4, "scale_rel": 0.02, "pos_m": 0.002},
        "version": {"major": 1, "tags": ["a", "b"]},
        "gop": 8, "fps": 29.97, "t": 2, "n": 3 }
    )";
    auto h = parse_header(text);
    ASSERT_TRUE(h) << h.error().message();
    EXPECT_EQ(*h, small_header());
}

TEST(Header, MalformedHeadersFailWithPositionedMessages) {
    const std::string good = kSmallCompact;
    struct Case {
        std::string text;
        std::string message;  // the message must start with this
    };
    const Case cases[] = {
        {edit(good, R"("aabb":[-1,-0.5,0,1,0.1,2.25],)", ""), "missing field `aabb`"},
        {edit(good, R"({"n":3,)", R"({"n":3,"t":2,)"), "duplicate field `t`"},
        {edit(good, "[-1,-0.5,0,1,0.1,2.25]", "[-1,-0.5,0,1,0.1]"),
         "invalid length 5, expected an array of 6"},
        {edit(good, "[-1,-0.5,0,1,0.1,2.25]", "[-1,-0.5,0,1,0.1,2.25,3]"), "invalid length 7"},
        {edit(good, R"("mask":5)", R"("mask":256)"), "invalid value: `256`, expected u8"},
        {edit(good, R"("count":2)", R"("count":-1)"), "invalid value: `-1`, expected u64"},
        {edit(good, R"("len":40)", R"("len":4.5)"), "invalid value: `4.5`, expected u64"},
        {edit(good, R"("rgb":4,)", R"("rgb":2147483648,)"), "invalid value: `2147483648`, expected i32"},
        {edit(good, R"("fps":29.97)", R"("fps":null)"), "invalid type: null, expected f32"},
        {edit(good, R"("fps":29.97)", R"("fps":"29.97")"), "invalid type: string, expected f32"},
        {edit(good, R"("denoised":false)", R"("denoised":0)"),
         "invalid type: number `0`, expected a boolean"},
        {edit(good, R"("aabb":[-1,)", R"("aabb":[true,)"), "invalid type: boolean `true`, expected f32"},
        {edit(good, R"(,"rot":1})", "}"), "missing field `rot`"},
        {edit(good, R"({"mask":5,)", R"({"mask":5,"mask":5,)"), "duplicate field `mask`"},
        {edit(good, R"("groups":[{"mask":5,"count":1},)", R"("groups":[7,)"),
         "invalid type: number `7`, expected an object"},
        {edit(good, R"("static_section":{"offset":12,"len":300})", R"("static_section":[12,300])"),
         "invalid type: array, expected an object"},
        {good + " x", "The document root must not be followed by other values."},
        {good + "{}", "The document root must not be followed by other values."},
        {good.substr(0, good.size() - 1), "Missing a comma or '}' after an object member."},
        {"[" + good + "]", "invalid type: array, expected an object"},
    };
    for (const Case& c : cases) {
        auto h = parse_header(c.text);
        ASSERT_FALSE(h) << c.text;
        const std::string& msg = h.error().message();
        EXPECT_EQ(msg.rfind(c.message, 0), 0u) << msg;
        EXPECT_NE(msg.find(" at line 1 column "), std::string::npos) << msg;
    }
}

TEST(Header, ErrorPositionsPointAtTheFault) {
    std::string missing = edit(kSmallCompact, R"("aabb":[-1,-0.5,0,1,0.1,2.25],)", "");
    auto h = parse_header(missing);
    ASSERT_FALSE(h);
    // At the closing brace of the header object, its last byte.
    EXPECT_EQ(h.error().message(), fmt::format("missing field `aabb` at line 1 column {}", missing.size()));

    auto pretty = header_to_pretty_json(small_header());
    ASSERT_TRUE(pretty);
    std::string bad = edit(*pretty, R"("mask": 0,)", R"("mask": 256,)");
    auto h2 = parse_header(bad);
    ASSERT_FALSE(h2);
    // The second group's mask sits on line 35 of the pretty text: `      "mask": 256,`.
    EXPECT_EQ(h2.error().message(), "invalid value: `256`, expected u8 at line 35 column 17");
}

TEST(Header, NonFiniteFloatsAreWrittenAsNullAndDoNotReadBack) {
    Header h = small_header();
    const float fps = 0.0f;
    h.fps = fps;
    h.gops[0].t0 = 0.0f / fps;  // NaN
    h.gops[0].t1 = 1.0f / fps;  // +inf
    h.aabb[3] = -std::numeric_limits<float>::infinity();
    std::string text = compact(h);
    EXPECT_NE(text.find(R"("t0":null,"t1":null)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("aabb":[-1,-0.5,0,null,0.1,2.25])"), std::string::npos) << text;
    auto back = parse_header(text);
    ASSERT_FALSE(back);
    EXPECT_EQ(back.error().message().rfind("invalid type: null, expected f32 at line 1 column ", 0), 0u);

    auto pretty = header_to_pretty_json(h);
    ASSERT_TRUE(pretty);
    EXPECT_NE(pretty->find(R"("t0": null,)"), std::string::npos);
}

TEST(Header, BoundsAloneInEitherKeyOrder) {
    const Bounds b{0.0005, 0.1, 2, 3, 1};
    JsonOut declared(JsonStyle::compact);
    write_json(declared, b);
    EXPECT_EQ(*declared.finish(), R"({"pos_m":0.0005,"scale_rel":0.1,"rgb":2,"alpha":3,"rot":1})");
    JsonOut ascending(JsonStyle::compact);
    write_json(ascending, b, KeyOrder::ascending);
    EXPECT_EQ(*ascending.finish(), R"({"alpha":3,"pos_m":0.0005,"rgb":2,"rot":1,"scale_rel":0.1})");
}

}  // namespace
}  // namespace quorvex
