#include "support/json.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <unordered_set>
#include <variant>

namespace quorvex {

namespace {

// The iterative parser keeps its own stack, so deeply nested input cannot overflow ours.
// Numbers arrive as their text; strings are checked to be valid UTF-8.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseValidateEncodingFlag;

// An escaped lone surrogate (\udc00) is decoded by RapidJSON into the three bytes
// ED B0 80, which are not UTF-8. Raw input bytes are validated by the reader, so this
// pattern in a decoded string can only come from such an escape.
bool has_surrogate(const char* s, size_t len) {
    for (size_t i = 0; i + 1 < len; ++i) {
        auto b0 = static_cast<unsigned char>(s[i]);
        auto b1 = static_cast<unsigned char>(s[i + 1]);
        if (b0 == 0xED && b1 >= 0xA0 && b1 <= 0xBF) return true;
    }
    return false;
}

// Builds the positioned tree from the reader's events. Offsets come from the stream's Tell():
// the iterative reader reports a scalar after consuming it and a closing bracket before.
class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
  public:
    TreeBuilder(const rapidjson::MemoryStream& stream, std::vector<JsonNode>& nodes)
        : stream_(stream), nodes_(nodes) {}

    // Set when the builder stopped the reader: the message and the offset it refers to.
    std::optional<std::pair<std::string, size_t>> failure;

    bool Default() { return fail("unexpected JSON event", stream_.Tell()); }
    bool Null() {
        scalar(JsonKind::null);
        return true;
    }
    bool Bool(bool b) {
        nodes_[scalar(JsonKind::boolean)].flag = b;
        return true;
    }
    bool RawNumber(const char* s, rapidjson::SizeType len, bool) {
        nodes_[scalar(JsonKind::number)].text.assign(s, len);
        return true;
    }
    bool String(const char* s, rapidjson::SizeType len, bool) {
        if (has_surrogate(s, len)) return fail_surrogate();
        nodes_[scalar(JsonKind::string)].text.assign(s, len);
        return true;
    }
    bool StartObject() { return open(JsonKind::object); }
    bool StartArray() { return open(JsonKind::array); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    bool Key(const char* s, rapidjson::SizeType len, bool) {
        size_t last = stream_.Tell() - 1;
        if (has_surrogate(s, len)) return fail_surrogate();
        std::string name(s, len);
        if (!open_.back().keys.insert(name).second)
            return fail(fmt::format("duplicate field `{}`", name), last);
        key_ = std::move(name);
        return true;
    }

  private:
    struct Open {
        size_t node;
        std::unordered_set<std::string> keys;  // member names seen so far, for objects
    };

    bool fail(std::string message, size_t offset) {
        failure.emplace(std::move(message), offset);
        return false;
    }
    bool fail_surrogate() {
        return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid),
                    stream_.Tell() - 1);
    }

    // Appends a node to the innermost open container (or makes it the root) and returns it.
    size_t add(JsonKind kind) {
        size_t i = nodes_.size();
        nodes_.emplace_back();
        nodes_[i].kind = kind;
        if (!open_.empty()) {
            JsonNode& parent = nodes_[open_.back().node];
            parent.items.push_back(i);
            if (parent.kind == JsonKind::object) {
                nodes_[i].key = std::move(key_);
                key_.clear();
            }
        }
        return i;
    }
    size_t scalar(JsonKind kind) {
        size_t i = add(kind);
        nodes_[i].last = stream_.Tell() - 1;
        return i;
    }
    bool open(JsonKind kind) {
        size_t i = add(kind);
        open_.push_back(Open{i, {}});
        return true;
    }
    bool close() {
        nodes_[open_.back().node].last = stream_.Tell();
        open_.pop_back();
        return true;
    }

    const rapidjson::MemoryStream& stream_;
    std::vector<JsonNode>& nodes_;
    std::vector<Open> open_;
    std::string key_;
};

std::string describe(const JsonNode& n) {
    switch (n.kind) {
        case JsonKind::null:
            return "null";
        case JsonKind::boolean:
            return n.flag ? "boolean `true`" : "boolean `false`";
        case JsonKind::number:
            return fmt::format("number `{}`", n.text);
        case JsonKind::string:
            return "string";
        case JsonKind::array:
            return "array";
        case JsonKind::object:
            return "object";
    }
    return "value";
}

template <class T>
constexpr const char* width_name() {
    if constexpr (std::is_same_v<T, uint8_t>) return "u8";
    if constexpr (std::is_same_v<T, uint64_t>) return "u64";
    if constexpr (std::is_same_v<T, int32_t>) return "i32";
    if constexpr (std::is_same_v<T, float>) return "f32";
    if constexpr (std::is_same_v<T, double>) return "f64";
}

// Converts a number's text into exactly T: the whole text must be consumed and the value must
// fit, so "1.5" or "1e2" is no integer and "-1" is no unsigned. Floats are read from the text at
// their own width, never through a double.
template <class T>
Result<T> read_number(JsonValue v) {
    const JsonNode& n = v.node();
    if (n.kind != JsonKind::number) return json_type_error(v, width_name<T>());
    const char* first = n.text.data();
    const char* end = first + n.text.size();
    T out{};
    auto [ptr, ec] = std::from_chars(first, end, out);
    if (ec != std::errc{} || ptr != end)
        return json_error(*v.doc, n.last,
                          fmt::format("invalid value: `{}`, expected {}", n.text, width_name<T>()));
    return out;
}

}  // namespace

JsonPos json_pos(std::string_view text, size_t offset) {
    offset = std::min(offset, text.size());
    std::string_view before = text.substr(0, offset);
    JsonPos p;
    p.line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    size_t nl = before.rfind('\n');
    size_t line_start = nl == std::string_view::npos ? 0 : nl + 1;
    p.column = offset - line_start + 1;
    return p;
}

Error json_error(const JsonDoc& doc, size_t offset, std::string_view message) {
    JsonPos p = json_pos(doc.text, offset);
    return Error::make("{} at line {} column {}", message, p.line, p.column);
}

Result<JsonDoc> parse_json(std::string_view text) {
    JsonDoc doc;
    doc.text.assign(text);
    // A memory stream bounds the input by its length; a string stream would stop at a NUL.
    rapidjson::MemoryStream stream(doc.text.data(), doc.text.size());
    TreeBuilder builder(stream, doc.nodes);
    rapidjson::Reader reader;
    rapidjson::ParseResult r = reader.Parse<kParseFlags>(stream, builder);
    if (r.IsError()) {
        if (r.Code() == rapidjson::kParseErrorTermination && builder.failure)
            return json_error(doc, builder.failure->second, builder.failure->first);
        return json_error(doc, r.Offset(), rapidjson::GetParseError_En(r.Code()));
    }
    // The reader treats a NUL byte as the end of its input; anything from there on is
    // text after the document.
    if (stream.Tell() != doc.text.size())
        return json_error(doc, stream.Tell(),
                          rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular));
    return doc;
}

Error json_type_error(JsonValue v, std::string_view expected) {
    return json_error(*v.doc, v.node().last,
                      fmt::format("invalid type: {}, expected {}", describe(v.node()), expected));
}

Result<JsonObject> as_object(JsonValue v) {
    if (v.node().kind != JsonKind::object) return json_type_error(v, "an object");
    return JsonObject{v};
}

Result<JsonArray> as_array(JsonValue v) {
    if (v.node().kind != JsonKind::array) return json_type_error(v, "an array");
    return JsonArray{v};
}

Result<JsonArray> as_array(JsonValue v, size_t len) {
    QX_TRY(a, as_array(v));
    if (a.size() != len)
        return json_error(*v.doc, v.node().last,
                          fmt::format("invalid length {}, expected an array of {} elements", a.size(), len));
    return a;
}

Result<JsonValue> field(const JsonObject& o, std::string_view key) {
    const JsonNode& n = o.value.node();
    for (size_t i : n.items)
        if (o.value.doc->nodes[i].key == key) return JsonValue{o.value.doc, i};
    return json_error(*o.value.doc, n.last, fmt::format("missing field `{}`", key));
}

template <>
Result<bool> read_json<bool>(JsonValue v) {
    if (v.node().kind != JsonKind::boolean) return json_type_error(v, "a boolean");
    return v.node().flag;
}
template <>
Result<uint8_t> read_json<uint8_t>(JsonValue v) {
    return read_number<uint8_t>(v);
}
template <>
Result<uint64_t> read_json<uint64_t>(JsonValue v) {
    return read_number<uint64_t>(v);
}
template <>
Result<int32_t> read_json<int32_t>(JsonValue v) {
    return read_number<int32_t>(v);
}
template <>
Result<float> read_json<float>(JsonValue v) {
    return read_number<float>(v);
}
template <>
Result<double> read_json<double>(JsonValue v) {
    return read_number<double>(v);
}
template <>
Result<std::string> read_json<std::string>(JsonValue v) {
    if (v.node().kind != JsonKind::string) return json_type_error(v, "a string");
    return v.node().text;
}

// ---- writing ----

struct JsonOut::Impl {
    using Compact = rapidjson::Writer<rapidjson::StringBuffer>;
    using Pretty = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

    struct Level {
        bool object;
        bool want_key;  // inside an object: the next call must be key() or end_object()
    };

    rapidjson::StringBuffer buffer;
    std::variant<std::monostate, Compact, Pretty> writer;
    std::vector<Level> levels;
    bool has_root = false;
    bool failed = false;

    template <class F>
    void call(F&& f) {
        if (failed) return;
        bool ok = std::visit(
            [&](auto& w) {
                if constexpr (std::is_same_v<std::decay_t<decltype(w)>, std::monostate>)
                    return false;
                else
                    return f(w);
            },
            writer);
        if (!ok) failed = true;
    }

    // Checks that a value may be written here, so misuse ends in finish() rather than in
    // one of RapidJSON's assertions.
    bool value_allowed() {
        if (failed) return false;
        if (levels.empty()) {
            if (has_root) failed = true;
        } else if (levels.back().object) {
            if (levels.back().want_key) failed = true;
            levels.back().want_key = true;
        }
        return !failed;
    }
    void after_scalar() {
        if (levels.empty()) has_root = true;
    }
    template <class F>
    void scalar(F&& f) {
        if (!value_allowed()) return;
        call(std::forward<F>(f));
        after_scalar();
    }
    // Opens an object or array where a value may stand.
    template <class F>
    void open(bool object, F&& start) {
        if (!value_allowed()) return;
        levels.push_back({object, object});
        call(std::forward<F>(start));
    }
    // Closes the innermost level, which must be of the same kind (and an object must not be
    // waiting for a value after its key).
    template <class F>
    void close(bool object, F&& end) {
        if (failed) return;
        if (levels.empty() || levels.back().object != object || (object && !levels.back().want_key)) {
            failed = true;
            return;
        }
        levels.pop_back();
        call(std::forward<F>(end));
        after_scalar();
    }
};

JsonOut::JsonOut(JsonStyle style) : impl_(std::make_unique<Impl>()) {
    if (style == JsonStyle::compact) {
        impl_->writer.emplace<Impl::Compact>(impl_->buffer);
    } else {
        auto& w = impl_->writer.emplace<Impl::Pretty>(impl_->buffer);
        w.SetIndent(' ', 2);
    }
}
JsonOut::~JsonOut() = default;
JsonOut::JsonOut(JsonOut&&) noexcept = default;
JsonOut& JsonOut::operator=(JsonOut&&) noexcept = default;

JsonOut& JsonOut::key(std::string_view k) {
    Impl& m = *impl_;
    if (m.failed) return *this;
    if (m.levels.empty() || !m.levels.back().object || !m.levels.back().want_key) {
        m.failed = true;
        return *this;
    }
    m.levels.back().want_key = false;
    m.call([&](auto& w) { return w.Key(k.data(), static_cast<rapidjson::SizeType>(k.size())); });
    return *this;
}

JsonOut& JsonOut::u64(uint64_t v) {
    impl_->scalar([&](auto& w) { return w.Uint64(v); });
    return *this;
}

JsonOut& JsonOut::i64(int64_t v) {
    impl_->scalar([&](auto& w) { return w.Int64(v); });
    return *this;
}

namespace {

// The shortest text that reads back to the same value at the value's own width; RapidJSON's
// Double() would widen an f32 (0.1f → 0.10000000149011612) and fails outright on NaN.
// Plain to_chars picks whichever notation is shorter, so 0.0005 would read "5e-04"; for
// magnitudes people write in decimals, from 1e-6 up to where every integer is still exact
// (2^24 for f32, 2^53 for f64), the fixed form is used instead. In that range fixed notation
// is the same shortest digits padded with zeros, so the text still reads back exactly.
template <class F>
size_t float_text(F v, char* buf, size_t size) {
    constexpr F kFixedBelow = std::is_same_v<F, float> ? F(16777216.0) : F(9007199254740992.0);
    auto r = std::to_chars(buf, buf + size, v);
    F mag = std::fabs(v);
    if (std::find(buf, r.ptr, 'e') != r.ptr && mag >= F(1e-6) && mag < kFixedBelow)
        r = std::to_chars(buf, buf + size, v, std::chars_format::fixed);
    return static_cast<size_t>(r.ptr - buf);
}

template <class F, class W>
bool write_float(W& w, F v) {
    if (!std::isfinite(v)) return w.Null();
    char buf[64];
    size_t len = float_text(v, buf, sizeof buf);
    return w.RawValue(buf, len, rapidjson::kNumberType);
}

}  // namespace

JsonOut& JsonOut::f32(float v) {
    impl_->scalar([&](auto& w) { return write_float(w, v); });
    return *this;
}

JsonOut& JsonOut::f64(double v) {
    impl_->scalar([&](auto& w) { return write_float(w, v); });
    return *this;
}

JsonOut& JsonOut::boolean(bool v) {
    impl_->scalar([&](auto& w) { return w.Bool(v); });
    return *this;
}

JsonOut& JsonOut::null() {
    impl_->scalar([&](auto& w) { return w.Null(); });
    return *this;
}

JsonOut& JsonOut::string(std::string_view v) {
    impl_->scalar([&](auto& w) { return w.String(v.data(), static_cast<rapidjson::SizeType>(v.size())); });
    return *this;
}

JsonOut& JsonOut::begin_object() {
    impl_->open(true, [](auto& w) { return w.StartObject(); });
    return *this;
}

JsonOut& JsonOut::end_object() {
    impl_->close(true, [](auto& w) { return w.EndObject(); });
    return *this;
}

JsonOut& JsonOut::begin_array() {
    impl_->open(false, [](auto& w) { return w.StartArray(); });
    return *this;
}

JsonOut& JsonOut::end_array() {
    impl_->close(false, [](auto& w) { return w.EndArray(); });
    return *this;
}

Result<std::string> JsonOut::finish() {
    Impl& m = *impl_;
    if (m.failed) return Error::msg("JSON writer failed");
    if (!m.has_root || !m.levels.empty()) return Error::msg("JSON writer failed: incomplete document");
    return std::string(m.buffer.GetString(), m.buffer.GetSize());
}

}  // namespace quorvex
