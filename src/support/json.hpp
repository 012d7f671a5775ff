#pragma once
// A thin typed layer over RapidJSON.
//
// Reading: parse_json builds a small tree whose nodes remember where they end in the text, so
// typed reads can report errors with a position: "missing field `aabb` at line 1 column 212",
// "invalid value: `256`, expected u8 at line 3 column 14". Duplicate keys are rejected while
// parsing; numbers keep their text and are converted only when read, into the exact width asked
// for, so a fraction never slips into an integer and an f32 is parsed from its own text.
//
// Writing: JsonOut wraps the compact or the pretty writer behind one interface, so one
// serialisation function serves the container header, the info command and the report.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/error.hpp"

namespace quorvex {

// ---- reading ----

enum class JsonKind : uint8_t { null, boolean, number, string, array, object };

struct JsonNode {
    JsonKind kind = JsonKind::null;
    bool flag = false;          // the value of a boolean
    size_t last = 0;            // offset of the value's last byte (digit, quote or bracket)
    std::string text;           // a number's text as written, or a string's decoded UTF-8
    std::string key;            // the member name, inside an object
    std::vector<size_t> items;  // array elements or object members, in text order
};

// A parsed document. Nodes live in one flat list (nodes[0] is the root), so no nesting depth
// can exhaust the stack while parsing or destroying it.
struct JsonDoc {
    std::string text;  // kept to turn node offsets into lines and columns
    std::vector<JsonNode> nodes;
};

// Parses exactly one JSON value, optionally surrounded by whitespace, validating UTF-8 inside
// strings. Fails with RapidJSON's message, or "duplicate field `{}`", followed by
// " at line L column C".
Result<JsonDoc> parse_json(std::string_view text);

// A node of a document; the document must outlive it.
struct JsonValue {
    const JsonDoc* doc = nullptr;
    size_t index = 0;
    const JsonNode& node() const { return doc->nodes[index]; }
};

struct JsonObject {
    JsonValue value;
};

struct JsonArray {
    JsonValue value;
    size_t size() const { return value.node().items.size(); }
    JsonValue operator[](size_t i) const { return {value.doc, value.node().items[i]}; }
};

inline JsonValue json_root(const JsonDoc& doc) { return {&doc, 0}; }

// "{message} at line L column C" for the byte at `offset` of the document's text.
Error json_error(const JsonDoc& doc, size_t offset, std::string_view message);
// Line and column (both from 1, column in bytes) of the byte at `offset`.
struct JsonPos {
    size_t line = 1;
    size_t column = 1;
};
JsonPos json_pos(std::string_view text, size_t offset);

// "invalid type: {found}, expected {expected}" positioned at the value.
Error json_type_error(JsonValue v, std::string_view expected);

Result<JsonObject> as_object(JsonValue v);
Result<JsonArray> as_array(JsonValue v);
// An array of exactly `len` elements; otherwise "invalid length {}, expected {}".
Result<JsonArray> as_array(JsonValue v, size_t len);

// The member named `key`; "missing field `{}`" positioned at the object's closing brace.
// Members with other names are simply never looked at.
Result<JsonValue> field(const JsonObject& o, std::string_view key);

// Typed reads. Numbers must convert completely into the width of T: 256 for uint8_t, -1 or
// 1.5 for an unsigned, 1e39 for a float are "invalid value: `{}`, expected {}"; integers are
// accepted for floats; null or any other kind fails with an "invalid type" message.
// T is one of bool, uint8_t, uint64_t, int32_t, float, double, std::string.
template <class T>
Result<T> read_json(JsonValue v);

template <class T>
Result<T> read_field(const JsonObject& o, std::string_view key) {
    QX_TRY(v, field(o, key));
    return read_json<T>(v);
}

// The same, storing the value into `out` (left unchanged on failure).
template <class T>
Status read_field(const JsonObject& o, std::string_view key, T& out) {
    QX_TRY(v, read_field<T>(o, key));
    out = std::move(v);
    return Ok{};
}

template <>
Result<bool> read_json<bool>(JsonValue v);
template <>
Result<uint8_t> read_json<uint8_t>(JsonValue v);
template <>
Result<uint64_t> read_json<uint64_t>(JsonValue v);
template <>
Result<int32_t> read_json<int32_t>(JsonValue v);
template <>
Result<float> read_json<float>(JsonValue v);
template <>
Result<double> read_json<double>(JsonValue v);
template <>
Result<std::string> read_json<std::string>(JsonValue v);

// ---- writing ----

enum class JsonStyle : uint8_t {
    compact,  // no whitespace anywhere
    pretty,   // two spaces per level, one member or element per line, ": " after keys
};

// Key order of a record's serialisation: the record's declared order (the container header),
// or ascending byte-wise (the report, whose objects are ordered maps).
enum class KeyOrder : uint8_t { declared, ascending };

// Builds one JSON document. Keys are written in call order; floats as the shortest text that
// reads back to the same value of their own width, and as null when not finite. Misuse (a
// value where a key is due, unbalanced ends) is reported by finish().
class JsonOut {
  public:
    explicit JsonOut(JsonStyle style);
    ~JsonOut();
    JsonOut(JsonOut&&) noexcept;
    JsonOut& operator=(JsonOut&&) noexcept;

    JsonOut& key(std::string_view k);
    JsonOut& u64(uint64_t v);
    JsonOut& i64(int64_t v);
    JsonOut& f32(float v);
    JsonOut& f64(double v);
    JsonOut& boolean(bool v);
    JsonOut& null();
    JsonOut& string(std::string_view v);
    JsonOut& begin_object();
    JsonOut& end_object();
    JsonOut& begin_array();
    JsonOut& end_array();

    // The finished text (no trailing line break), or the writer's failure.
    Result<std::string> finish();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvex
