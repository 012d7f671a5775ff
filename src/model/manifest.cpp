#include "model/manifest.hpp"

#include "support/json.hpp"

namespace quorvex {

namespace {

// Both records come as an object with named keys or as an array of their fields in order.

Result<ManifestFrame> read_frame(JsonValue v) {
    ManifestFrame f;
    if (v.node().kind == JsonKind::array) {
        QX_TRY(a, as_array(v, 2));
        QX_TRY(file, read_json<std::string>(a[0]));
        QX_TRY(timestamp, read_json<double>(a[1]));
        f.file = std::move(file);
        f.timestamp = timestamp;
        return f;
    }
    if (v.node().kind != JsonKind::object) return json_type_error(v, "a frame object or array");
    JsonObject o{v};
    QX_CHECK(read_field(o, "file", f.file));
    QX_CHECK(read_field(o, "timestamp", f.timestamp));
    return f;
}

Result<std::vector<ManifestFrame>> read_frames(JsonValue v) {
    QX_TRY(a, as_array(v));
    std::vector<ManifestFrame> frames(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        QX_TRY(f, read_frame(a[i]));
        frames[i] = std::move(f);
    }
    return frames;
}

}  // namespace

Result<Manifest> parse_manifest(std::string_view text) {
    QX_TRY(doc, parse_json(text));
    JsonValue root = json_root(doc);
    Manifest m;
    JsonValue fps_v, frames_v;
    if (root.node().kind == JsonKind::array) {
        QX_TRY(a, as_array(root, 2));
        fps_v = a[0];
        frames_v = a[1];
    } else if (root.node().kind == JsonKind::object) {
        JsonObject o{root};
        QX_TRY(fv, field(o, "fps"));
        QX_TRY(lv, field(o, "frames"));
        fps_v = fv;
        frames_v = lv;
    } else {
        return json_type_error(root, "a manifest object or array");
    }
    QX_TRY(fps, read_json<float>(fps_v));
    QX_TRY(frames, read_frames(frames_v));
    m.fps = fps;
    m.frames = std::move(frames);
    return m;
}

}  // namespace quorvex
