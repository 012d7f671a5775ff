// quorvex-sample: writes a synthetic frame directory (frame_%05d.splat, optionally
// frames.json) that looks like per-frame trained Gaussian splats: a static background, rigidly
// moving and deforming groups, colour and opacity changes, quaternion sign flips, sub-millimetre
// per-frame jitter and a few degenerate scales. The output depends only on the options.

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "model/splat.hpp"
#include "support/bytes.hpp"
#include "support/error.hpp"
#include "support/file_io.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

constexpr double kPi = 3.14159265358979323846;
constexpr double kMotionFps = 30.0;  // motion is defined per second of this clock
constexpr double kJitterMetres = 0.0002;
constexpr uint64_t kGroups = 8;

constexpr const char* kUsage =
    "Usage: quorvex-sample --out DIR [options]\n"
    "\n"
    "Writes a synthetic splat sequence as DIR/frame_%05d.splat (stale frame_*.splat files and\n"
    "frames.json in DIR are removed first).\n"
    "\n"
    "Options:\n"
    "  --out DIR            output directory, created if missing (required)\n"
    "  --splats N           splats per frame (default 100000)\n"
    "  --frames T           number of frames (default 30)\n"
    "  --seed S             random seed (default 1)\n"
    "  --flavour F          static: mostly static background with moving parts (default);\n"
    "                       moving: every splat moves\n"
    "  --manifest           also write frames.json with the frame rate and timestamps\n"
    "  --fps F              frame rate written to frames.json (default 30; implies --manifest)\n"
    "  -h, --help           print this help\n";

struct Options {
    fs::path out;
    uint64_t splats = 100000;
    uint64_t frames = 30;
    uint64_t seed = 1;
    bool moving = false;
    bool manifest = false;
    float fps = 30.0f;
    bool help = false;
};

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;

uint64_t finalise(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// One splitmix64 step as a stateless hash, so any (seed, splat, frame) is generated on its
// own and frames can be produced in any order on any thread.
uint64_t mix(uint64_t z) { return finalise(z + kGolden); }

// splitmix64.
struct Rng {
    uint64_t state;
    uint64_t next() { return finalise(state += kGolden); }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    bool chance(double p) { return uniform() < p; }
};

Rng rng_for(uint64_t seed, uint64_t a, uint64_t b) { return Rng{mix(mix(mix(seed) ^ a) ^ b)}; }

template <class T>
std::optional<T> parse_number(std::string_view text) {
    T v{};
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return v;
}

Result<Options> parse_args(int argc, char** argv) {
    Options o;
    bool have_out = false;
    for (int a = 1; a < argc; ++a) {
        std::string_view arg = argv[a];
        auto value = [&]() -> Result<std::string_view> {
            if (a + 1 >= argc) return Error::make("{} needs a value", arg);
            return std::string_view(argv[++a]);
        };
        auto count = [&](uint64_t& field) -> Status {
            QX_TRY(text, value());
            auto v = parse_number<uint64_t>(text);
            if (!v || *v == 0) return Error::make("{} expects a positive integer, got `{}`", arg, text);
            field = *v;
            return Ok{};
        };
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--out") {
            QX_TRY(text, value());
            o.out = fs::path(std::string(text));
            have_out = true;
        } else if (arg == "--splats") {
            QX_CHECK(count(o.splats));
        } else if (arg == "--frames") {
            QX_CHECK(count(o.frames));
        } else if (arg == "--seed") {
            QX_TRY(text, value());
            auto v = parse_number<uint64_t>(text);
            if (!v) return Error::make("--seed expects an unsigned integer, got `{}`", text);
            o.seed = *v;
        } else if (arg == "--flavour") {
            QX_TRY(text, value());
            if (text != "static" && text != "moving")
                return Error::make("--flavour expects static or moving, got `{}`", text);
            o.moving = text == "moving";
        } else if (arg == "--manifest") {
            o.manifest = true;
        } else if (arg == "--fps") {
            QX_TRY(text, value());
            auto v = parse_number<float>(text);
            if (!v || !std::isfinite(*v) || *v <= 0.0f)
                return Error::make("--fps expects a positive number, got `{}`", text);
            o.fps = *v;
            o.manifest = true;
        } else {
            return Error::make("unknown argument `{}` (see --help)", arg);
        }
    }
    if (!o.help && !have_out) return Error::msg("--out DIR is required (see --help)");
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(o.splats, uint64_t{kSplatBytes}, &bytes) ||
        bytes > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max()))
        return Error::make("--splats {} is too large", o.splats);
    return o;
}

// Quaternions here are (w, x, y, z); the codec itself gives no component a special role.
struct Quat {
    double w, x, y, z;
};

Quat mul(const Quat& a, const Quat& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

Quat axis_angle(const double axis[3], double angle) {
    const double s = std::sin(angle / 2);
    return {std::cos(angle / 2), axis[0] * s, axis[1] * s, axis[2] * s};
}

void rotate(const Quat& q, const double v[3], double out[3]) {
    // v' = v + 2w (u × v) + 2 u × (u × v), u the vector part of a unit quaternion.
    const double u[3] = {q.x, q.y, q.z};
    const double t[3] = {2 * (u[1] * v[2] - u[2] * v[1]), 2 * (u[2] * v[0] - u[0] * v[2]),
                         2 * (u[0] * v[1] - u[1] * v[0])};
    out[0] = v[0] + q.w * t[0] + (u[1] * t[2] - u[2] * t[1]);
    out[1] = v[1] + q.w * t[1] + (u[2] * t[0] - u[0] * t[2]);
    out[2] = v[2] + q.w * t[2] + (u[0] * t[1] - u[1] * t[0]);
}

void random_unit(Rng& g, double v[3]) {
    for (;;) {
        for (int j = 0; j < 3; ++j) v[j] = g.uniform(-1, 1);
        const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        if (len > 1e-3 && len <= 1) {
            for (int j = 0; j < 3; ++j) v[j] /= len;
            return;
        }
    }
}

enum class Motion : uint8_t { kRigid, kDeform };

struct Group {
    Motion motion;
    double centre[3];
    double velocity[3];  // metres per second
    double axis[3];
    double spin;         // radians per second
    double wave_dir[3];  // deformation direction
    double wave_amp;     // metres
    double wave_freq;    // radians per second
    double wave_k;       // radians per metre along the group
    double colour_amp;   // levels
    double fade;         // opacity modulation depth, 0 … 1
};

// Per-frame pose of a rigid group.
struct Pose {
    Quat rot;
    double shift[3];
};

struct Splat {
    float pos[3];
    float scale[3];
    uint8_t rgb[3];
    uint8_t alpha;
    Quat rot;
    int16_t group;       // -1: static background
    uint8_t degenerate;  // 0 none, else which scale axis + 1 carries 0, a negative value or NaN
    uint8_t degenerate_kind;
    bool jitters;
    float phase;
};

Group make_group(uint64_t seed, uint64_t g, bool moving) {
    Rng r = rng_for(seed, 0xffffffff00000000ull | g, 0);
    Group gr{};
    gr.motion = (g % 2 == 0) ? Motion::kRigid : Motion::kDeform;
    for (int j = 0; j < 3; ++j) gr.centre[j] = r.uniform(-1.5, 1.5);
    double dir[3];
    random_unit(r, dir);
    const double speed = r.uniform(0.05, moving ? 0.6 : 0.3);
    for (int j = 0; j < 3; ++j) gr.velocity[j] = dir[j] * speed;
    random_unit(r, gr.axis);
    gr.spin = r.uniform(-1.5, 1.5);
    random_unit(r, gr.wave_dir);
    gr.wave_amp = r.uniform(0.01, 0.08);
    gr.wave_freq = r.uniform(1.0, 6.0);
    gr.wave_k = r.uniform(1.0, 8.0);
    gr.colour_amp = r.chance(0.5) ? r.uniform(5, 40) : 0.0;
    gr.fade = r.chance(0.4) ? r.uniform(0.2, 0.8) : 0.0;
    return gr;
}

Splat make_splat(uint64_t seed, uint64_t i, bool moving, const std::vector<Group>& groups) {
    Rng r = rng_for(seed, i, 0);
    Splat s{};
    const bool background = !moving && r.chance(0.75);
    s.group = background ? int16_t{-1} : static_cast<int16_t>(r.uniform() * kGroups);
    if (background) {
        // A room-sized shell around the scene.
        double dir[3];
        random_unit(r, dir);
        const double radius = r.uniform(4.0, 6.0);
        for (int j = 0; j < 3; ++j) s.pos[j] = static_cast<float>(dir[j] * radius);
    } else {
        const Group& g = groups[static_cast<size_t>(s.group)];
        for (int j = 0; j < 3; ++j) s.pos[j] = static_cast<float>(g.centre[j] + r.uniform(-0.4, 0.4));
    }
    for (int j = 0; j < 3; ++j) {
        s.scale[j] = static_cast<float>(std::exp(r.uniform(std::log(0.002), std::log(0.05))));
        s.rgb[j] = static_cast<uint8_t>(r.uniform() * 256);
    }
    s.alpha = static_cast<uint8_t>(r.uniform(40, 256));
    double a[3];
    random_unit(r, a);
    s.rot = axis_angle(a, r.uniform(0, 2 * kPi));
    s.jitters = !background || r.chance(0.5);
    s.phase = static_cast<float>(r.uniform(0, 2 * kPi));
    if (r.chance(0.001)) {
        s.degenerate = static_cast<uint8_t>(1 + r.uniform() * 3);
        s.degenerate_kind = static_cast<uint8_t>(r.uniform() * 3);
    }
    return s;
}

uint8_t level(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

uint8_t quat_byte(double c) {
    return static_cast<uint8_t>(std::clamp(std::lround(c * 128.0) + 128, 0L, 255L));
}

// Encodes splat i of frame k into its 32-byte record.
void write_record(const Options& o, const Splat& s, const std::vector<Group>& groups,
                  const std::vector<Pose>& poses, uint64_t i, uint64_t k, uint8_t* rec) {
    const double t = static_cast<double>(k) / kMotionFps;
    double p[3] = {s.pos[0], s.pos[1], s.pos[2]};
    double scale[3] = {s.scale[0], s.scale[1], s.scale[2]};
    double rgb[3] = {double(s.rgb[0]), double(s.rgb[1]), double(s.rgb[2])};
    double alpha = s.alpha;
    Quat q = s.rot;
    if (s.group >= 0) {
        const Group& g = groups[static_cast<size_t>(s.group)];
        if (g.motion == Motion::kRigid) {
            const Pose& pose = poses[k * kGroups + static_cast<size_t>(s.group)];
            const double rel[3] = {p[0] - g.centre[0], p[1] - g.centre[1], p[2] - g.centre[2]};
            double turned[3];
            rotate(pose.rot, rel, turned);
            for (int j = 0; j < 3; ++j) p[j] = g.centre[j] + turned[j] + pose.shift[j];
            q = mul(pose.rot, q);
        } else {
            const double along = (p[0] - g.centre[0]) * g.wave_dir[0] + (p[1] - g.centre[1]) * g.wave_dir[1] +
                                 (p[2] - g.centre[2]) * g.wave_dir[2];
            const double wave = std::sin(g.wave_freq * t + g.wave_k * along + s.phase);
            for (int j = 0; j < 3; ++j) {
                p[j] += g.velocity[j] * t * 0.3 + g.wave_dir[j] * g.wave_amp * wave;
                scale[j] *= 1.0 + 0.05 * wave;
            }
            double axis[3] = {g.wave_dir[1], -g.wave_dir[0], 0.0};
            const double len = std::hypot(axis[0], axis[1]);
            if (len > 1e-6) {
                for (double& c : axis) c /= len;
                q = mul(axis_angle(axis, 0.3 * wave), q);
            }
        }
        for (int j = 0; j < 3; ++j) rgb[j] += g.colour_amp * std::sin(1.3 * t + s.phase + j);
        alpha *= 1.0 - g.fade * (0.5 + 0.5 * std::sin(0.9 * t + s.phase));
    }

    // What per-frame training leaves: sub-millimetre jitter, the occasional level of colour
    // noise, and an arbitrary sign for each quaternion.
    const uint64_t h = mix(mix(o.seed ^ 0xa5a5a5a5a5a5a5a5ull) ^ (i * 0x100000001b3ull) ^ (k << 40 | k));
    if (s.jitters)
        for (int j = 0; j < 3; ++j)
            p[j] += (static_cast<double>((h >> (16 * j)) & 0xffff) / 65535.0 * 2 - 1) * kJitterMetres;
    if (s.group >= 0 && ((h >> 48) & 0xf) == 0) rgb[(h >> 52) % 3] += ((h >> 54) & 1) ? 1 : -1;
    const bool flip = ((h >> 56) & 0x7) == 0;  // one frame in eight

    for (int j = 0; j < 3; ++j) store_f32(rec + kSplatPosOffset + 4 * j, static_cast<float>(p[j]));
    for (int j = 0; j < 3; ++j) {
        float sc = static_cast<float>(scale[j]);
        if (s.degenerate == j + 1) {
            const float bad[3] = {0.0f, -0.01f, std::numeric_limits<float>::quiet_NaN()};
            sc = bad[s.degenerate_kind];
        }
        store_f32(rec + kSplatScaleOffset + 4 * j, sc);
        rec[kSplatRgbOffset + j] = level(rgb[j]);
    }
    rec[kSplatAlphaOffset] = level(alpha);
    const double sign = flip ? -1.0 : 1.0;
    rec[kSplatRotOffset + 0] = quat_byte(sign * q.w);
    rec[kSplatRotOffset + 1] = quat_byte(sign * q.x);
    rec[kSplatRotOffset + 2] = quat_byte(sign * q.y);
    rec[kSplatRotOffset + 3] = quat_byte(sign * q.z);
}

Status write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    // Plain stdio: a sample does not need the codec's flush-and-rename writes.
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return Error::msg(os_error_text(errno)).context(path.string());
    const size_t done = std::fwrite(bytes.data(), 1, bytes.size(), f);
    const int write_err = done == bytes.size() ? 0 : errno;
    if (std::fclose(f) != 0 || write_err != 0)
        return Error::msg(os_error_text(write_err != 0 ? write_err : errno)).context(path.string());
    return Ok{};
}

bool is_frame_name(std::string_view name) {
    constexpr std::string_view kPrefix = "frame_", kSuffix = ".splat";
    if (name.size() <= kPrefix.size() + kSuffix.size()) return false;
    if (name.substr(0, kPrefix.size()) != kPrefix || name.substr(name.size() - kSuffix.size()) != kSuffix)
        return false;
    std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Removes what an earlier run may have left: more frames, or a manifest that would
// otherwise override the listing.
Status clear_previous(const fs::path& dir) {
    std::error_code ec;
    std::vector<fs::path> stale;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name == "frames.json" || is_frame_name(name)) stale.push_back(it->path());
    }
    if (ec) return Error::msg(ec.message()).context(dir.string());
    for (const fs::path& p : stale)
        if (!fs::remove(p, ec) && ec) return Error::msg(ec.message()).context(p.string());
    return Ok{};
}

Status generate(const Options& o) {
    std::error_code ec;
    fs::create_directories(o.out, ec);
    if (ec) return Error::msg(ec.message()).context(fmt::format("creating {}", o.out.string()));
    QX_CHECK(clear_previous(o.out));

    std::vector<Group> groups(kGroups);
    for (uint64_t g = 0; g < kGroups; ++g) groups[g] = make_group(o.seed, g, o.moving);
    std::vector<Pose> poses(o.frames * kGroups);
    for (uint64_t k = 0; k < o.frames; ++k)
        for (uint64_t g = 0; g < kGroups; ++g) {
            const double t = static_cast<double>(k) / kMotionFps;
            Pose& pose = poses[k * kGroups + g];
            pose.rot = axis_angle(groups[g].axis, groups[g].spin * t);
            for (int j = 0; j < 3; ++j) pose.shift[j] = groups[g].velocity[j] * t;
        }

    std::vector<Splat> splats(o.splats);
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, o.splats), [&](const tbb::blocked_range<uint64_t>& r) {
        for (uint64_t i = r.begin(); i != r.end(); ++i) splats[i] = make_splat(o.seed, i, o.moving, groups);
    });

    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::optional<Error> error;
    tbb::parallel_for(uint64_t{0}, o.frames, [&](uint64_t k) {
        if (stop.load(std::memory_order_relaxed)) return;
        std::vector<uint8_t> bytes(o.splats * kSplatBytes);
        for (uint64_t i = 0; i < o.splats; ++i)
            write_record(o, splats[i], groups, poses, i, k, bytes.data() + i * kSplatBytes);
        Status st = write_bytes(o.out / fmt::format("frame_{:05}.splat", k), bytes);
        if (!st) {
            stop.store(true, std::memory_order_relaxed);
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::move(st).error();
        }
    });
    if (error) return std::move(*error);

    if (o.manifest) {
        std::string text = fmt::format("{{\n  \"fps\": {},\n  \"frames\": [\n", o.fps);
        for (uint64_t k = 0; k < o.frames; ++k)
            text +=
                fmt::format("    {{\"file\": \"frame_{:05}.splat\", \"timestamp\": {}}}{}\n", k,
                            static_cast<double>(k) / static_cast<double>(o.fps), k + 1 < o.frames ? "," : "");
        text += "  ]\n}\n";
        QX_CHECK(write_bytes(o.out / "frames.json", std::vector<uint8_t>(text.begin(), text.end())));
    }
    return Ok{};
}

}  // namespace
}  // namespace quorvex

int main(int argc, char** argv) {
    using namespace quorvex;
    Result<Options> opts = parse_args(argc, argv);
    if (!opts) {
        fmt::print(stderr, "Error: {}\n", opts.error().render());
        return 1;
    }
    if (opts->help) {
        fmt::print("{}", kUsage);
        return 0;
    }
    Status st = generate(*opts);
    if (!st) {
        fmt::print(stderr, "Error: {}\n", st.error().render());
        return 1;
    }
    return 0;
}
