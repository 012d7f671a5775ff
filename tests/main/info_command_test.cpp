// The info command: the header as pretty JSON and the size line.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "main/command_runner.hpp"
#include "main/human.hpp"
#include "support/bytes.hpp"
#include "support/json.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using InfoCommand = test::ContainerTest;
using test::json_as;
using test::member;
using test::run_quorvex;

// Same kinds, keys in the same order and the same scalar text, node by node.
::testing::AssertionResult same_json(JsonValue a, JsonValue b, const std::string& where = "$") {
    const JsonNode& x = a.node();
    const JsonNode& y = b.node();
    if (x.kind != y.kind) return ::testing::AssertionFailure() << where << ": kinds differ";
    if (x.text != y.text || x.flag != y.flag)
        return ::testing::AssertionFailure() << where << ": " << x.text << " vs " << y.text;
    if (x.items.size() != y.items.size()) return ::testing::AssertionFailure() << where << ": sizes differ";
    for (size_t i = 0; i < x.items.size(); ++i) {
        const JsonValue ca{a.doc, x.items[i]};
        const JsonValue cb{b.doc, y.items[i]};
        if (ca.node().key != cb.node().key)
            return ::testing::AssertionFailure()
                   << where << ": key " << ca.node().key << " vs " << cb.node().key;
        const std::string sub =
            x.kind == JsonKind::array ? fmt::format("{}[{}]", where, i) : where + "." + ca.node().key;
        if (auto r = same_json(ca, cb, sub); !r) return r;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(InfoCommand, PrintsTheHeaderAndSizes) {
    // Seven frames in GOPs of two: the last GOP holds a single frame.
    make_container(7, 2);
    const test::RunResult r = run_quorvex({"info", container().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(r.out.ends_with("\n"));
    const size_t last_break = r.out.rfind('\n', r.out.size() - 2);
    ASSERT_NE(last_break, std::string::npos);
    const std::string json_text = r.out.substr(0, last_break);
    const std::string size_line = r.out.substr(last_break + 1);

    EXPECT_TRUE(test::pretty_layout(json_text));
    Result<JsonDoc> shown = parse_json(json_text);
    ASSERT_TRUE(shown) << shown.error().render();

    // The header inside the container, compact: the pretty form shows the same fields in the
    // same order with the same values.
    const std::vector<uint8_t> bytes = test::read_bytes(container());
    ASSERT_GE(bytes.size(), 12u);
    const uint32_t header_len = load_u32(bytes.data() + 8);
    ASSERT_LE(12u + header_len, bytes.size());
    Result<JsonDoc> stored = parse_json(std::string(bytes.begin() + 12, bytes.begin() + 12 + header_len));
    ASSERT_TRUE(stored) << stored.error().render();
    EXPECT_TRUE(same_json(json_root(*shown), json_root(*stored)));

    const JsonValue root = json_root(*shown);
    Result<JsonArray> gops = as_array(member(root, "gops"));
    ASSERT_TRUE(gops);
    EXPECT_EQ(gops->size(), 4u);
    const JsonValue s = member(root, "static_section");
    const uint64_t before_gops = json_as<uint64_t>(member(s, "offset")) + json_as<uint64_t>(member(s, "len"));
    EXPECT_EQ(json_as<uint64_t>(member((*gops)[0], "offset")), before_gops);
    EXPECT_EQ(size_line,
              fmt::format("file {}   header+static {}   4 GOPs\n", human(bytes.size()), human(before_gops)));
}

TEST_F(InfoCommand, RejectsTruncatedContainer) {
    make_container(4, 2);
    std::vector<uint8_t> bytes = test::read_bytes(container());
    bytes.resize(bytes.size() - 1);
    test::write_bytes(container(), bytes);
    const test::RunResult r = run_quorvex({"info", container().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: ")) << r.err;
}

}  // namespace
}  // namespace quorvex
