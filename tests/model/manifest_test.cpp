#include "model/manifest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvex {
namespace {

struct Expected {
    float fps;
    std::vector<std::pair<std::string, double>> frames;
};

void expect_manifest(const std::string& text, const Expected& e) {
    auto m = parse_manifest(text);
    ASSERT_TRUE(m) << text << "\n" << m.error().message();
    EXPECT_EQ(m->fps, e.fps) << text;
    ASSERT_EQ(m->frames.size(), e.frames.size()) << text;
    for (size_t i = 0; i < e.frames.size(); ++i) {
        EXPECT_EQ(m->frames[i].file, e.frames[i].first) << text;
        EXPECT_EQ(m->frames[i].timestamp, e.frames[i].second) << text;
    }
}

TEST(Manifest, ObjectAndArrayFormsReadTheSame) {
    const Expected two{24.0f, {{"b.splat", 0.0}, {"a.splat", 0.5}}};
    expect_manifest(
        R"({"fps":24,"frames":[{"file":"b.splat","timestamp":0},{"file":"a.splat","timestamp":0.5}]})", two);
    expect_manifest(R"([24.0, [["b.splat", 0], ["a.splat", 5e-1]]])", two);
    // Forms mix freely, keys come in any order, whitespace is free.
    expect_manifest(
        "{\n\t\"frames\": [[\"b.splat\", 0], {\"timestamp\": 0.5, \"file\": \"a.splat\"}],\r\n"
        "  \"fps\": 24 }\n",
        two);
    expect_manifest(R"([24, []])", {24.0f, {}});
}

TEST(Manifest, UnknownKeysAreSkippedWithTheirValues) {
    expect_manifest(R"({"author":{"name":"x","tags":[1,{"fps":"no"}]},"fps":30,"version":null,)"
                    R"("frames":[{"file":"f.splat","timestamp":1,"note":[true,false]}]})",
                    {30.0f, {{"f.splat", 1.0}}});
}

TEST(Manifest, ValuesKeepTheirDeclaredWidths) {
    // fps is read at f32 from its own text; timestamp at f64.
    expect_manifest(R"({"fps":29.97,"frames":[["x",0.1]]})", {29.97f, {{"x", 0.1}}});
    expect_manifest(R"({"fps":59.94005994005994,"frames":[["x",1e300]]})", {59.94006f, {{"x", 1e300}}});
    // File names are any UTF-8 text, escapes decoded; absolute paths stand as they are.
    expect_manifest(R"({"fps":1,"frames":[["caf\u00e9 \"1\".splat",-2],["/abs/\u00e9.splat",3]]})",
                    {1.0f, {{"caf\xC3\xA9 \"1\".splat", -2.0}, {"/abs/\xC3\xA9.splat", 3.0}}});
}

TEST(Manifest, MalformedManifestsFailWithPositionedMessages) {
    struct Case {
        std::string text;
        std::string message;  // the whole message
    };
    const Case cases[] = {
        {R"({"frames":[]})", "missing field `fps` at line 1 column 13"},
        {R"({"fps":24})", "missing field `frames` at line 1 column 10"},
        {R"({"fps":24,"frames":[{"timestamp":0}]})", "missing field `file` at line 1 column 35"},
        {R"({"fps":24,"frames":[{"file":"a"}]})", "missing field `timestamp` at line 1 column 32"},
        {R"({"fps":24,"fps":25,"frames":[]})", "duplicate field `fps` at line 1 column 15"},
        {R"({"fps":24,"frames":[{"file":"a","file":"b","timestamp":0}]})",
         "duplicate field `file` at line 1 column 38"},
        {R"([24])", "invalid length 1, expected an array of 2 elements at line 1 column 4"},
        {R"([24,[],1])", "invalid length 3, expected an array of 2 elements at line 1 column 9"},
        {R"([24,[["a"]]])", "invalid length 1, expected an array of 2 elements at line 1 column 10"},
        {R"([24,[["a",0,1]]])", "invalid length 3, expected an array of 2 elements at line 1 column 14"},
        {R"([[], 24])", "invalid type: array, expected f32 at line 1 column 3"},
        {R"({"fps":"24","frames":[]})", "invalid type: string, expected f32 at line 1 column 11"},
        {R"({"fps":null,"frames":[]})", "invalid type: null, expected f32 at line 1 column 11"},
        {R"({"fps":1e39,"frames":[]})", "invalid value: `1e39`, expected f32 at line 1 column 11"},
        {R"({"fps":24,"frames":{}})", "invalid type: object, expected an array at line 1 column 21"},
        {R"({"fps":24,"frames":["a.splat"]})",
         "invalid type: string, expected a frame object or array at line 1 column 29"},
        {R"({"fps":24,"frames":[[3,0]]})", "invalid type: number `3`, expected a string at line 1 column 22"},
        {R"({"fps":24,"frames":[["a","0"]]})", "invalid type: string, expected f64 at line 1 column 28"},
        {R"({"fps":24,"frames":[["a",null]]})", "invalid type: null, expected f64 at line 1 column 29"},
        {R"("frames")", "invalid type: string, expected a manifest object or array at line 1 column 8"},
        {"{\"fps\":24,\"frames\":[]}\n\n{}",
         "The document root must not be followed by other values. at line 3 column 1"},
        {"{\"fps\":24,\"frames\":[[\"a\xFF.splat\",0]]}", "Invalid encoding in string. at line 1 column 24"},
        {"{\"fps\":24,\n\"frames\":[[\"a\",0],]}", "Invalid value. at line 2 column 19"},
    };
    for (const Case& c : cases) {
        auto m = parse_manifest(c.text);
        ASSERT_FALSE(m) << c.text;
        EXPECT_EQ(m.error().message(), c.message) << c.text;
    }
}

}  // namespace
}  // namespace quorvex
