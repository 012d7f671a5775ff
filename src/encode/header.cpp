#include "encode/header.hpp"

namespace quorvex {

namespace {

void write_steps(JsonOut& o, const Steps& s) {
    o.begin_object();
    o.key("pos").f64(s.pos);
    o.key("base_pos").f64(s.base_pos);
    o.key("scale_log").f64(s.scale_log);
    o.key("base_scale_log").f64(s.base_scale_log);
    o.key("rgb").i64(s.rgb);
    o.key("alpha").i64(s.alpha);
    o.key("rot").i64(s.rot);
    o.end_object();
}

void write_dyn(JsonOut& o, const DynCounts& d) {
    o.begin_object();
    o.key("pos").u64(d.pos);
    o.key("rot").u64(d.rot);
    o.key("rgb").u64(d.rgb);
    o.key("alpha").u64(d.alpha);
    o.key("scale").u64(d.scale);
    o.end_object();
}

void write_header(JsonOut& o, const Header& h) {
    o.begin_object();
    o.key("n").u64(h.n);
    o.key("t").u64(h.t);
    o.key("fps").f32(h.fps);
    o.key("gop").u64(h.gop);
    o.key("bounds");
    write_json(o, h.bounds);
    o.key("steps");
    write_steps(o, h.steps);
    o.key("dyn");
    write_dyn(o, h.dyn);
    o.key("groups").begin_array();
    for (const Group& g : h.groups) {
        o.begin_object();
        o.key("mask").u64(g.mask);
        o.key("count").u64(g.count);
        o.end_object();
    }
    o.end_array();
    o.key("aabb").begin_array();
    for (float v : h.aabb) o.f32(v);
    o.end_array();
    o.key("denoised").boolean(h.denoised);
    o.key("static_section").begin_object();
    o.key("offset").u64(h.static_section.offset);
    o.key("len").u64(h.static_section.len);
    o.end_object();
    o.key("gops").begin_array();
    for (const GopSpan& g : h.gops) {
        o.begin_object();
        o.key("offset").u64(g.offset);
        o.key("len").u64(g.len);
        o.key("f0").u64(g.f0);
        o.key("f1").u64(g.f1);
        o.key("t0").f32(g.t0);
        o.key("t1").f32(g.t1);
        o.end_object();
    }
    o.end_array();
    o.end_object();
}

// Every reader below looks its keys up by name, so key order does not matter and undeclared
// keys are never visited; a missing key fails at its object's closing brace.

Result<Bounds> read_bounds(JsonValue v) {
    QX_TRY(o, as_object(v));
    Bounds b;
    QX_CHECK(read_field(o, "pos_m", b.pos_m));
    QX_CHECK(read_field(o, "scale_rel", b.scale_rel));
    QX_CHECK(read_field(o, "rgb", b.rgb));
    QX_CHECK(read_field(o, "alpha", b.alpha));
    QX_CHECK(read_field(o, "rot", b.rot));
    return b;
}

Result<Steps> read_steps(JsonValue v) {
    QX_TRY(o, as_object(v));
    Steps s;
    QX_CHECK(read_field(o, "pos", s.pos));
    QX_CHECK(read_field(o, "base_pos", s.base_pos));
    QX_CHECK(read_field(o, "scale_log", s.scale_log));
    QX_CHECK(read_field(o, "base_scale_log", s.base_scale_log));
    QX_CHECK(read_field(o, "rgb", s.rgb));
    QX_CHECK(read_field(o, "alpha", s.alpha));
    QX_CHECK(read_field(o, "rot", s.rot));
    return s;
}

Result<DynCounts> read_dyn(JsonValue v) {
    QX_TRY(o, as_object(v));
    DynCounts d;
    QX_CHECK(read_field(o, "pos", d.pos));
    QX_CHECK(read_field(o, "rot", d.rot));
    QX_CHECK(read_field(o, "rgb", d.rgb));
    QX_CHECK(read_field(o, "alpha", d.alpha));
    QX_CHECK(read_field(o, "scale", d.scale));
    return d;
}

Result<Group> read_group(JsonValue v) {
    QX_TRY(o, as_object(v));
    Group g;
    QX_CHECK(read_field(o, "mask", g.mask));
    QX_CHECK(read_field(o, "count", g.count));
    return g;
}

Result<Span> read_span(JsonValue v) {
    QX_TRY(o, as_object(v));
    Span s;
    QX_CHECK(read_field(o, "offset", s.offset));
    QX_CHECK(read_field(o, "len", s.len));
    return s;
}

Result<GopSpan> read_gop(JsonValue v) {
    QX_TRY(o, as_object(v));
    GopSpan g;
    QX_CHECK(read_field(o, "offset", g.offset));
    QX_CHECK(read_field(o, "len", g.len));
    QX_CHECK(read_field(o, "f0", g.f0));
    QX_CHECK(read_field(o, "f1", g.f1));
    QX_CHECK(read_field(o, "t0", g.t0));
    QX_CHECK(read_field(o, "t1", g.t1));
    return g;
}

// Reads an array whose every element is one record.
template <class T>
Result<std::vector<T>> read_list(const JsonObject& o, std::string_view key, Result<T> (*read)(JsonValue)) {
    QX_TRY(v, field(o, key));
    QX_TRY(a, as_array(v));
    std::vector<T> out(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        QX_TRY(item, read(a[i]));
        out[i] = item;
    }
    return out;
}

}  // namespace

void write_json(JsonOut& o, const Bounds& b, KeyOrder order) {
    o.begin_object();
    if (order == KeyOrder::declared) {
        o.key("pos_m").f64(b.pos_m);
        o.key("scale_rel").f64(b.scale_rel);
        o.key("rgb").i64(b.rgb);
        o.key("alpha").i64(b.alpha);
        o.key("rot").i64(b.rot);
    } else {
        o.key("alpha").i64(b.alpha);
        o.key("pos_m").f64(b.pos_m);
        o.key("rgb").i64(b.rgb);
        o.key("rot").i64(b.rot);
        o.key("scale_rel").f64(b.scale_rel);
    }
    o.end_object();
}

Result<std::string> header_to_json(const Header& h) {
    JsonOut o(JsonStyle::compact);
    write_header(o, h);
    return o.finish();
}

Result<std::string> header_to_pretty_json(const Header& h) {
    JsonOut o(JsonStyle::pretty);
    write_header(o, h);
    return o.finish();
}

Result<Header> parse_header(std::string_view text) {
    QX_TRY(doc, parse_json(text));
    QX_TRY(o, as_object(json_root(doc)));
    Header h;
    QX_CHECK(read_field(o, "n", h.n));
    QX_CHECK(read_field(o, "t", h.t));
    QX_CHECK(read_field(o, "fps", h.fps));
    QX_CHECK(read_field(o, "gop", h.gop));
    QX_TRY(bounds_v, field(o, "bounds"));
    QX_TRY(bounds, read_bounds(bounds_v));
    h.bounds = bounds;
    QX_TRY(steps_v, field(o, "steps"));
    QX_TRY(steps, read_steps(steps_v));
    h.steps = steps;
    QX_TRY(dyn_v, field(o, "dyn"));
    QX_TRY(dyn, read_dyn(dyn_v));
    h.dyn = dyn;
    QX_TRY(groups, read_list<Group>(o, "groups", read_group));
    h.groups = std::move(groups);
    QX_TRY(aabb_v, field(o, "aabb"));
    QX_TRY(aabb, as_array(aabb_v, h.aabb.size()));
    for (size_t i = 0; i < h.aabb.size(); ++i) {
        QX_TRY(x, read_json<float>(aabb[i]));
        h.aabb[i] = x;
    }
    QX_CHECK(read_field(o, "denoised", h.denoised));
    QX_TRY(span_v, field(o, "static_section"));
    QX_TRY(span, read_span(span_v));
    h.static_section = span;
    QX_TRY(gops, read_list<GopSpan>(o, "gops", read_gop));
    h.gops = std::move(gops);
    return h;
}

}  // namespace quorvex
