#include "support/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace quorvex {
namespace {

std::string error_of(std::string_view text) {
    auto r = parse_json(text);
    return r ? std::string("(parsed)") : r.error().message();
}

// ---- writing ----

TEST(JsonOut, CompactKeepsCallOrderWithoutWhitespace) {
    JsonOut o(JsonStyle::compact);
    o.begin_object();
    o.key("z").u64(1);
    o.key("a").begin_array().i64(-2).boolean(true).null().string("q\"\n").end_array();
    o.key("m").begin_object().end_object();
    o.end_object();
    auto text = o.finish();
    ASSERT_TRUE(text) << text.error().message();
    EXPECT_EQ(*text, R"({"z":1,"a":[-2,true,null,"q\"\n"],"m":{}})");
}

TEST(JsonOut, PrettyIndentsTwoSpacesWithoutTrailingNewline) {
    JsonOut o(JsonStyle::pretty);
    o.begin_object();
    o.key("a").u64(1);
    o.key("b").begin_array().f32(0.5f).begin_object().key("c").null().end_object().end_array();
    o.key("e").begin_array().end_array();
    o.key("f").begin_object().end_object();
    o.end_object();
    auto text = o.finish();
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "{\n"
              "  \"a\": 1,\n"
              "  \"b\": [\n"
              "    0.5,\n"
              "    {\n"
              "      \"c\": null\n"
              "    }\n"
              "  ],\n"
              "  \"e\": [],\n"
              "  \"f\": {}\n"
              "}");
}

TEST(JsonOut, NumbersUseTheShortestTextOfTheirOwnWidth) {
    struct Case {
        void (*write)(JsonOut&);
        const char* text;
    };
    const Case cases[] = {
        {[](JsonOut& o) { o.f32(0.1f); }, "0.1"},
        {[](JsonOut& o) { o.f64(0.1); }, "0.1"},
        {[](JsonOut& o) { o.f64(double(0.1f)); }, "0.10000000149011612"},
        {[](JsonOut& o) { o.f32(2.0f); }, "2"},
        {[](JsonOut& o) { o.f32(-0.0f); }, "-0"},
        {[](JsonOut& o) { o.f64(1e-7); }, "1e-07"},
        {[](JsonOut& o) { o.f64(1e-6); }, "0.000001"},
        {[](JsonOut& o) { o.f64(0.0005); }, "0.0005"},
        {[](JsonOut& o) { o.f32(-1.5e-5f); }, "-0.000015"},
        {[](JsonOut& o) { o.f32(1e6f); }, "1000000"},
        {[](JsonOut& o) { o.f32(16777216.0f); }, "16777216"},
        {[](JsonOut& o) { o.f32(3e10f); }, "3e+10"},
        {[](JsonOut& o) { o.f64(1e15); }, "1000000000000000"},
        {[](JsonOut& o) { o.f64(1e20); }, "1e+20"},
        {[](JsonOut& o) { o.f32(std::numeric_limits<float>::max()); }, "3.4028235e+38"},
        {[](JsonOut& o) { o.f32(std::nanf("")); }, "null"},
        {[](JsonOut& o) { o.f64(-std::numeric_limits<double>::infinity()); }, "null"},
        {[](JsonOut& o) { o.u64(UINT64_MAX); }, "18446744073709551615"},
        {[](JsonOut& o) { o.i64(INT64_MIN); }, "-9223372036854775808"},
    };
    for (const Case& c : cases) {
        for (JsonStyle style : {JsonStyle::compact, JsonStyle::pretty}) {
            JsonOut o(style);
            o.begin_array();
            c.write(o);
            o.f64(1.5);  // the writer must still work after a null
            o.end_array();
            auto text = o.finish();
            ASSERT_TRUE(text) << c.text;
            std::string expected = style == JsonStyle::compact ? fmt::format("[{},1.5]", c.text)
                                                               : fmt::format("[\n  {},\n  1.5\n]", c.text);
            EXPECT_EQ(*text, expected);
        }
    }
}

// Every finite value of either width must read back bit for bit from the written text.
template <class F, class U>
void check_round_trip(JsonStyle style) {
    constexpr size_t kCount = 4000;
    std::vector<F> values;
    uint64_t state = 0x2545F4914F6CDD1Dull;
    while (values.size() < kCount) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        U bits = static_cast<U>(sizeof(U) == 4 ? state >> 32 : state ^ (state << 17));
        if (values.size() % 2 == 1) {
            // Every other value gets an exponent between 2^-20 and the last exact integer,
            // where the writer prefers fixed notation.
            constexpr int kMantissa = std::numeric_limits<F>::digits - 1;
            constexpr int kBias = std::numeric_limits<F>::max_exponent - 1;
            int e = static_cast<int>(state % static_cast<uint64_t>(kMantissa + 21)) - 20;
            U exp_mask = static_cast<U>(((U{1} << (sizeof(U) * 8 - 1 - kMantissa)) - 1) << kMantissa);
            bits = static_cast<U>((bits & ~exp_mask) | (static_cast<U>(kBias + e) << kMantissa));
        }
        F v = std::bit_cast<F>(bits);
        if (std::isfinite(v)) values.push_back(v);
    }
    JsonOut o(style);
    o.begin_array();
    for (F v : values) {
        if constexpr (sizeof(F) == 4)
            o.f32(v);
        else
            o.f64(v);
    }
    o.end_array();
    auto text = o.finish();
    ASSERT_TRUE(text);
    auto doc = parse_json(*text);
    ASSERT_TRUE(doc);
    auto a = as_array(json_root(*doc), kCount);
    ASSERT_TRUE(a);
    for (size_t i = 0; i < kCount; ++i) {
        auto back = read_json<F>((*a)[i]);
        ASSERT_TRUE(back) << (*a)[i].node().text;
        EXPECT_EQ(std::bit_cast<U>(*back), std::bit_cast<U>(values[i])) << (*a)[i].node().text;
    }
}

TEST(JsonOut, FloatsReadBackBitForBit) {
    check_round_trip<float, uint32_t>(JsonStyle::compact);
    check_round_trip<double, uint64_t>(JsonStyle::pretty);
}

TEST(JsonOut, MisuseFailsInFinish) {
    struct Case {
        const char* what;
        void (*write)(JsonOut&);
    };
    const Case cases[] = {
        {"nothing written", [](JsonOut&) {}},
        {"key at the root", [](JsonOut& o) { o.key("a"); }},
        {"value where a key is due", [](JsonOut& o) { o.begin_object().u64(1).end_object(); }},
        {"key without a value", [](JsonOut& o) { o.begin_object().key("a").end_object(); }},
        {"key inside an array", [](JsonOut& o) { o.begin_array().key("a").u64(1).end_array(); }},
        {"unclosed object", [](JsonOut& o) { o.begin_object().key("a").u64(1); }},
        {"mismatched end", [](JsonOut& o) { o.begin_array().end_object(); }},
        {"two roots", [](JsonOut& o) { o.u64(1).u64(2); }},
    };
    for (const Case& c : cases) {
        JsonOut o(JsonStyle::compact);
        c.write(o);
        auto text = o.finish();
        ASSERT_FALSE(text) << c.what;
        EXPECT_NE(text.error().message().find("JSON writer failed"), std::string::npos) << c.what;
    }
}

// ---- reading ----

TEST(JsonRead, PositionsCountLinesAndBytes) {
    EXPECT_EQ(json_pos("abc", 0).line, 1u);
    EXPECT_EQ(json_pos("abc", 2).column, 3u);
    JsonPos p = json_pos("{\n  \"a\": 256\n}", 11);
    EXPECT_EQ(p.line, 2u);
    EXPECT_EQ(p.column, 10u);
    EXPECT_EQ(json_pos("a\nb", 3).column, 2u);  // one past the end

    auto doc = parse_json("{\n  \"a\": 256\n}");
    ASSERT_TRUE(doc);
    auto o = as_object(json_root(*doc));
    ASSERT_TRUE(o);
    auto v = read_field<uint8_t>(*o, "a");
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message(), "invalid value: `256`, expected u8 at line 2 column 10");
    auto missing = read_field<uint8_t>(*o, "b");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "missing field `b` at line 3 column 1");
}

TEST(JsonRead, SyntaxErrorsCarryTheReadersMessageAndPosition) {
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"a":1} x)", "The document root must not be followed by other values. at line 1 column 9"},
        {"{\"a\":1}\n\n  [", "The document root must not be followed by other values. at line 3 column 3"},
        {std::string("{\"a\":1}\0x", 9),
         "The document root must not be followed by other values. at line 1 column 8"},
        {"", "The document is empty. at line 1 column 1"},
        {" \t\r\n", "The document is empty. at line 2 column 1"},
        {R"({"a":1,})", "Missing a name for object member. at line 1 column 8"},
        {R"([1,2,])", "Invalid value. at line 1 column 6"},
        {R"({"a" 1})", "Missing a colon after a name of object member. at line 1 column 6"},
        {R"({"a":"x)", "Missing a closing quotation mark in string. at line 1 column 8"},
        {R"({"a":1.})", "Miss fraction part in number. at line 1 column 8"},
        {R"({"a":NaN})", "Invalid value. at line 1 column 6"},
        {"{\"a\":\"\xC3\x28\"}", "Invalid encoding in string. at line 1 column 7"},
        {"{\"a\":\"\xED\xA0\x80\"}", "Invalid encoding in string. at line 1 column 7"},
        {R"(["\udc00"])", "The surrogate pair in string is invalid. at line 1 column 9"},
        {R"({"\ud800":1})", "The surrogate pair in string is invalid. at line 1 column 3"},
        {"[1e309]", "Number too big to be stored in double. at line 1 column 2"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

TEST(JsonRead, DuplicateKeysAreRejectedPerObject) {
    EXPECT_EQ(error_of(R"({"a":1,"b":{"x":[1,{"a":2}]},"a":3})"), "duplicate field `a` at line 1 column 32");
    EXPECT_EQ(error_of(R"({"o":{"k":1,"k":1}})"), "duplicate field `k` at line 1 column 15");
    // The same name in sibling or nested objects is no duplicate.
    EXPECT_EQ(error_of(R"([{"a":1},{"a":2},{"a":{"a":3}}])"), "(parsed)");
    // Names compare after unescaping.
    EXPECT_EQ(error_of(R"({"a":1,"\u0061":2})"), "duplicate field `a` at line 1 column 15");
}

TEST(JsonRead, DeepNestingNeitherRecursesNorCrashes) {
    std::string deep(50000, '[');
    deep += std::string(50000, ']');
    auto doc = parse_json(deep);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->nodes.size(), 50000u);
    deep.pop_back();
    EXPECT_FALSE(parse_json(deep));
}

// One typed read of `value` (a JSON value text) must give `expect`, or fail with a message
// starting `error`.
template <class T>
void check_read(const std::string& value, const char* error, T expect = {}) {
    auto doc = parse_json(value);
    ASSERT_TRUE(doc) << value;
    auto r = read_json<T>(json_root(*doc));
    if (error == nullptr) {
        ASSERT_TRUE(r) << value << ": " << r.error().message();
        if constexpr (std::is_floating_point_v<T>)
            EXPECT_EQ(std::memcmp(&*r, &expect, sizeof(T)), 0) << value;  // bit for bit
        else
            EXPECT_EQ(*r, expect) << value;
    } else {
        ASSERT_FALSE(r) << value;
        EXPECT_EQ(r.error().message().rfind(error, 0), 0u) << value << ": " << r.error().message();
        EXPECT_NE(r.error().message().find(" at line 1 column "), std::string::npos);
    }
}

TEST(JsonRead, IntegersConvertOnlyWhenExactAndInRange) {
    check_read<uint8_t>("255", nullptr, 255);
    check_read<uint8_t>("0", nullptr, 0);
    check_read<uint8_t>("256", "invalid value: `256`, expected u8");
    check_read<uint8_t>("-1", "invalid value: `-1`, expected u8");
    check_read<uint8_t>("1.5", "invalid value: `1.5`, expected u8");
    check_read<uint8_t>("1.0", "invalid value: `1.0`, expected u8");
    check_read<uint8_t>("1e2", "invalid value: `1e2`, expected u8");
    check_read<uint8_t>("null", "invalid type: null, expected u8");
    check_read<uint8_t>("\"7\"", "invalid type: string, expected u8");
    check_read<uint64_t>("18446744073709551615", nullptr, UINT64_MAX);
    check_read<uint64_t>("18446744073709551616", "invalid value: `18446744073709551616`, expected u64");
    check_read<uint64_t>("-0", "invalid value: `-0`, expected u64");
    check_read<uint64_t>("true", "invalid type: boolean `true`, expected u64");
    check_read<uint64_t>("[1]", "invalid type: array, expected u64");
    check_read<int32_t>("-2147483648", nullptr, INT32_MIN);
    check_read<int32_t>("2147483647", nullptr, INT32_MAX);
    check_read<int32_t>("2147483648", "invalid value: `2147483648`, expected i32");
    check_read<int32_t>("{}", "invalid type: object, expected i32");
}

TEST(JsonRead, FloatsReadAtTheirOwnWidthAndAcceptIntegers) {
    check_read<float>("0.1", nullptr, 0.1f);
    check_read<float>("30", nullptr, 30.0f);
    check_read<float>("-0", nullptr, -0.0f);
    check_read<float>("1.4e-45", nullptr, std::numeric_limits<float>::denorm_min());
    check_read<float>("3.4028235e+38", nullptr, std::numeric_limits<float>::max());
    // Correctly rounded from the text; through a double, 16777217.000000001 would round twice.
    check_read<float>("16777217.000000001", nullptr, 16777218.0f);
    check_read<float>("1e39", "invalid value: `1e39`, expected f32");
    check_read<float>("null", "invalid type: null, expected f32");
    check_read<float>("\"1\"", "invalid type: string, expected f32");
    check_read<double>("0.1", nullptr, 0.1);
    check_read<double>("-12", nullptr, -12.0);
    check_read<double>("1E+308", nullptr, 1e308);
    check_read<double>("false", "invalid type: boolean `false`, expected f64");
}

TEST(JsonRead, BooleansAndStrings) {
    check_read<bool>("true", nullptr, true);
    check_read<bool>("false", nullptr, false);
    check_read<bool>("1", "invalid type: number `1`, expected a boolean");
    check_read<std::string>(R"("a\u00e9\n")", nullptr, std::string("a\xC3\xA9\n"));
    check_read<std::string>(R"("\ud83d\ude00")", nullptr, std::string("\xF0\x9F\x98\x80"));
    check_read<std::string>(R"("a\u0000b")", nullptr, std::string("a\0b", 3));
    check_read<std::string>("null", "invalid type: null, expected a string");
}

TEST(JsonRead, FieldsInAnyOrderAndUnknownOnesIgnored) {
    auto doc = parse_json(R"({"skip":{"deep":[1,{"x":null}],"y":"z"},"b":2,"a":1})");
    ASSERT_TRUE(doc);
    auto o = as_object(json_root(*doc));
    ASSERT_TRUE(o);
    uint64_t a = 0, b = 0;
    ASSERT_TRUE(read_field(*o, "a", a));
    ASSERT_TRUE(read_field(*o, "b", b));
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    // A nested member is not a member of the outer object.
    auto x = field(*o, "x");
    ASSERT_FALSE(x);
    EXPECT_EQ(x.error().message(), "missing field `x` at line 1 column 52");
}

TEST(JsonRead, ArraysOfAnExactLength) {
    auto doc = parse_json("[1,2,3]");
    ASSERT_TRUE(doc);
    auto a = as_array(json_root(*doc), 3);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->size(), 3u);
    auto third = read_json<uint64_t>((*a)[2]);
    ASSERT_TRUE(third);
    EXPECT_EQ(*third, 3u);
    auto wrong = as_array(json_root(*doc), 2);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message(),
              "invalid length 3, expected an array of 2 elements at line 1 column 7");
    auto not_object = as_object(json_root(*doc));
    ASSERT_FALSE(not_object);
    EXPECT_EQ(not_object.error().message(), "invalid type: array, expected an object at line 1 column 7");
}

}  // namespace
}  // namespace quorvex
