#pragma once
// Runs the whole driver in process, as the binary would, capturing its exit status and both
// console streams; plus small readers for the files and lines the commands produce.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "main/cli.hpp"
#include "support/file_io.hpp"
#include "support/json.hpp"
#include "support/synth.hpp"

namespace quorvex::test {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// `quorvex args...` through run_main. Both streams are captured at the descriptor level, so
// what fmt prints to stdout/stderr is seen exactly as a terminal would see it.
inline RunResult run_quorvex(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvex");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    RunResult r;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    r.status = run_main(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    r.err = ::testing::internal::GetCapturedStderr();
    r.out = ::testing::internal::GetCapturedStdout();
    return r;
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline std::vector<uint8_t> read_bytes(const std::filesystem::path& path) {
    Result<std::vector<uint8_t>> bytes = read_file(path);
    EXPECT_TRUE(bytes) << path << ": " << (bytes ? "" : bytes.error().render());
    return bytes ? std::move(*bytes) : std::vector<uint8_t>{};
}

// A fixture holding one small container: t frames of 120 moving and static splats in GOPs
// of `gop`, written by the encode command without its verify pass.
class ContainerTest : public ::testing::Test {
  protected:
    void make_container(uint64_t t, uint64_t gop) {
        SynthParams p;
        p.t = t;
        p.n = 120;
        p.seed = 5;
        p.jitter = 0.001f;
        std::filesystem::create_directories(dir_ / "frames");
        write_frames(dir_ / "frames", make_frames(p));
        const RunResult r = run_quorvex({"encode", "-i", (dir_ / "frames").string(), "-o",
                                         container().string(), "--gop", std::to_string(gop), "--no-verify"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::filesystem::path container() const { return dir_ / "c.quorvex"; }

    TempDir dir_{"container"};
};

// The member `key` of object `v`; a failure is recorded and the object itself returned, so a
// missing key shows as a test failure rather than a crash.
inline JsonValue member(JsonValue v, std::string_view key) {
    Result<JsonObject> o = as_object(v);
    if (!o) {
        ADD_FAILURE() << "not an object where `" << key << "` was expected: " << o.error().render();
        return v;
    }
    Result<JsonValue> f = field(*o, key);
    if (!f) {
        ADD_FAILURE() << f.error().render();
        return v;
    }
    return *f;
}

template <class T>
T json_as(JsonValue v) {
    Result<T> r = read_json<T>(v);
    EXPECT_TRUE(r) << (r ? "" : r.error().render());
    return r ? *r : T{};
}

inline std::vector<std::string> member_keys(JsonValue v) {
    std::vector<std::string> keys;
    for (size_t i : v.node().items) keys.push_back(v.doc->nodes[i].key);
    return keys;
}

// Every object of the document, with its keys strictly ascending byte-wise; the failure names
// the first object (by its first key) that is not.
inline ::testing::AssertionResult keys_ascend_everywhere(const JsonDoc& doc) {
    for (const JsonNode& node : doc.nodes) {
        if (node.kind != JsonKind::object) continue;
        for (size_t k = 1; k < node.items.size(); ++k) {
            const std::string& a = doc.nodes[node.items[k - 1]].key;
            const std::string& b = doc.nodes[node.items[k]].key;
            if (!(a < b)) return ::testing::AssertionFailure() << "key `" << b << "` follows `" << a << "`";
        }
    }
    return ::testing::AssertionSuccess();
}

// The pretty layout: one member or element per line, two spaces of indentation per level of
// nesting, ": " after every key, no line break after the last closing bracket.
inline ::testing::AssertionResult pretty_layout(const std::string& text) {
    if (text.empty() || text.back() == '\n') return ::testing::AssertionFailure() << "ends with a line break";
    std::string open;  // the enclosing brackets, innermost last
    int line_no = 0;
    for (const std::string& line : split_lines(text)) {
        ++line_no;
        const size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos) return ::testing::AssertionFailure() << "blank line " << line_no;
        const char first = line[indent];
        if ((first == '}' || first == ']') && !open.empty()) open.pop_back();
        if (indent != 2 * open.size())
            return ::testing::AssertionFailure()
                   << "line " << line_no << " indented " << indent << ": " << line;
        if (!open.empty() && open.back() == '{' && first != '}' && first != ']') {
            const size_t close = line.find('"', indent + 1);
            if (first != '"' || close == std::string::npos || line.compare(close + 1, 2, ": ") != 0)
                return ::testing::AssertionFailure()
                       << "line " << line_no << " is not `\"key\": value`: " << line;
        }
        const char last = line.back();
        if (last == '{' || last == '[') open.push_back(last);
    }
    if (!open.empty()) return ::testing::AssertionFailure() << "unclosed " << open;
    return ::testing::AssertionSuccess();
}

}  // namespace quorvex::test
