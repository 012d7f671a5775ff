#include "support/synth.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <system_error>

#include "model/splat.hpp"
#include "support/bytes.hpp"

namespace quorvex::test {

namespace fs = std::filesystem;

uint64_t SplitMix64::next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

double SplitMix64::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double SplitMix64::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

uint64_t SplitMix64::below(uint64_t bound) { return next() % bound; }

bool SplitMix64::chance(double p) { return uniform() < p; }

SplitMix64 stream_for(uint64_t seed, uint64_t a, uint64_t b) {
    // Each key is mixed through its own generator step so nearby keys give unrelated streams.
    SplitMix64 g{seed};
    uint64_t s = g.next();
    s = SplitMix64{s ^ a}.next();
    s = SplitMix64{s ^ b}.next();
    return SplitMix64{s};
}

namespace {

uint8_t clamp_level(long v) { return static_cast<uint8_t>(std::clamp(v, 0L, 255L)); }

// The loader's rule: negate frame k's quaternion when it points away from frame k - 1's.
void align_rotations(Frames& f) {
    for (uint64_t k = 1; k < f.t; ++k) {
        for (uint64_t i = 0; i < f.n; ++i) {
            const int16_t* prev = &f.rot[((k - 1) * f.n + i) * 4];
            int16_t* cur = &f.rot[(k * f.n + i) * 4];
            int32_t d = 0;
            for (int j = 0; j < 4; ++j) d += int32_t{prev[j]} * int32_t{cur[j]};
            if (d < 0)
                for (int j = 0; j < 4; ++j)
                    cur[j] = cur[j] == -128 ? int16_t{127} : static_cast<int16_t>(-cur[j]);
        }
    }
}

}  // namespace

Frames make_frames(const SynthParams& p) {
    Frames f = zeroed_frames(p.t, p.n);
    f.fps = p.fps;

    const float nonfinite[3] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity()};
    for (uint64_t i = 0; i < p.n; ++i) {
        SplitMix64 g = stream_for(p.seed, i);
        const bool is_static = g.chance(p.static_fraction);
        double base_pos[3], dir[3], base_scale[3], growth[3], q0[4], w[4];
        long base_rgb[3], colour_step[3];
        for (int j = 0; j < 3; ++j) {
            base_pos[j] = g.uniform(-1.0, 1.0);
            dir[j] = g.uniform(-1.0, 1.0);
            base_scale[j] = g.uniform(std::log(0.001), std::log(0.1));
            growth[j] = g.uniform(-0.01, 0.01);
            base_rgb[j] = static_cast<long>(g.below(256));
            colour_step[j] = static_cast<long>(g.below(3)) - 1;
        }
        const double dir_len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
        for (double& d : dir) d = dir_len > 1e-9 ? d / dir_len : 0.0;
        const long base_alpha = static_cast<long>(g.below(256));
        const long alpha_step = static_cast<long>(g.below(5)) - 2;
        for (int j = 0; j < 4; ++j) {
            q0[j] = g.uniform(-1.0, 1.0);
            w[j] = g.uniform(-0.05, 0.05);
        }
        bool bad_component[3];
        for (bool& b : bad_component) b = g.chance(p.nonfinite_fraction);

        for (uint64_t k = 0; k < p.t; ++k) {
            SplitMix64 h = stream_for(p.seed, i, k + 1);
            const uint64_t cell = k * p.n + i;
            const double kk = is_static ? 0.0 : static_cast<double>(k);
            for (int j = 0; j < 3; ++j) {
                double x = base_pos[j] + dir[j] * p.drift * kk;
                if (!is_static) x += h.uniform(-1.0, 1.0) * p.jitter;
                f.pos[cell * 3 + j] = bad_component[j] ? nonfinite[(i + j) % 3] : static_cast<float>(x);
                f.scale_log[cell * 3 + j] = static_cast<float>(base_scale[j] + growth[j] * kk);
                long c = base_rgb[j] + colour_step[j] * static_cast<long>(kk);
                if (!is_static && p.colour_flicker > 0)
                    c += static_cast<long>(h.below(2 * static_cast<uint64_t>(p.colour_flicker) + 1)) -
                         p.colour_flicker;
                f.rgb[cell * 3 + j] = clamp_level(c);
            }
            f.alpha[cell] = clamp_level(base_alpha + alpha_step * static_cast<long>(kk));

            double q[4];
            double len = 0.0;
            for (int j = 0; j < 4; ++j) {
                q[j] = q0[j] + w[j] * kk;
                len += q[j] * q[j];
            }
            len = std::sqrt(len);
            const bool flip = k >= 1 && h.chance(p.flip_fraction);
            for (int j = 0; j < 4; ++j) {
                long v = len > 1e-9 ? std::lround(q[j] / len * 127.0) : 0;
                f.rot[cell * 4 + j] = static_cast<int16_t>(flip ? -v : v);
            }
        }
    }
    if (p.align) align_rotations(f);
    return f;
}

std::vector<uint8_t> encode_records(std::span<const SplatRecord> records) {
    std::vector<uint8_t> out(records.size() * kSplatBytes);
    for (size_t i = 0; i < records.size(); ++i) {
        uint8_t* rec = out.data() + i * kSplatBytes;
        const SplatRecord& r = records[i];
        for (size_t j = 0; j < 3; ++j) {
            store_f32(rec + kSplatPosOffset + 4 * j, r.pos[j]);
            store_f32(rec + kSplatScaleOffset + 4 * j, r.scale[j]);
            rec[kSplatRgbOffset + j] = r.rgb[j];
        }
        rec[kSplatAlphaOffset] = r.alpha;
        for (size_t j = 0; j < 4; ++j) rec[kSplatRotOffset + j] = r.rot[j];
    }
    return out;
}

std::vector<SplatRecord> frame_records(const Frames& f, uint64_t k) {
    std::vector<SplatRecord> out(f.n);
    for (uint64_t i = 0; i < f.n; ++i) {
        const uint64_t cell = k * f.n + i;
        SplatRecord& r = out[i];
        for (size_t j = 0; j < 3; ++j) {
            r.pos[j] = f.pos[cell * 3 + j];
            r.scale[j] = std::exp(f.scale_log[cell * 3 + j]);
            r.rgb[j] = f.rgb[cell * 3 + j];
        }
        r.alpha = f.alpha[cell];
        for (size_t j = 0; j < 4; ++j) r.rot[j] = static_cast<uint8_t>(f.rot[cell * 4 + j] + 128);
    }
    return out;
}

void write_bytes(const fs::path& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << path.string();
}

void write_text(const fs::path& path, std::string_view text) {
    write_bytes(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void write_splats(const fs::path& path, std::span<const SplatRecord> records) {
    write_bytes(path, encode_records(records));
}

std::vector<std::string> write_frames(const fs::path& dir, const Frames& f) {
    std::vector<std::string> names(f.t);
    for (uint64_t k = 0; k < f.t; ++k) {
        names[k] = fmt::format("frame_{:05}.splat", k);
        write_splats(dir / names[k], frame_records(f, k));
    }
    return names;
}

namespace {

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

void write_manifest(const fs::path& dir, float fps, std::span<const std::string> files) {
    std::string text = fmt::format("{{\n  \"fps\": {},\n  \"frames\": [", fps);
    for (size_t k = 0; k < files.size(); ++k) {
        const double ts =
            fps > 0.0f ? static_cast<double>(k) / static_cast<double>(fps) : static_cast<double>(k);
        text += fmt::format("{}\n    {{\"file\": {}, \"timestamp\": {}}}", k == 0 ? "" : ",",
                            json_string(files[k]), ts);
    }
    text += "\n  ]\n}\n";
    write_text(dir / "frames.json", text);
}

namespace {

template <class T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <class T>
::testing::AssertionResult same_plane(const char* name, const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << name << " sizes differ: " << a.size() << " vs " << b.size();
    for (size_t e = 0; e < a.size(); ++e)
        if (!same_bits(a[e], b[e]))
            return ::testing::AssertionFailure()
                   << name << "[" << e << "] differs: " << +a[e] << " vs " << +b[e];
    return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult frames_identical(const Frames& a, const Frames& b) {
    if (a.t != b.t || a.n != b.n)
        return ::testing::AssertionFailure()
               << "shape differs: " << a.t << "x" << a.n << " vs " << b.t << "x" << b.n;
    if (!same_bits(a.fps, b.fps))
        return ::testing::AssertionFailure() << "fps differs: " << a.fps << " vs " << b.fps;
    for (auto r : {same_plane("pos", a.pos, b.pos), same_plane("scale_log", a.scale_log, b.scale_log),
                   same_plane("rgb", a.rgb, b.rgb), same_plane("alpha", a.alpha, b.alpha),
                   same_plane("rot", a.rot, b.rot)})
        if (!r) return r;
    return ::testing::AssertionSuccess();
}

TempDir::TempDir(std::string_view name) {
    static std::atomic<uint64_t> counter{0};
    path_ = fs::temp_directory_path() / fmt::format("qx-{}-{}-{}", name, ::getpid(), counter++);
    std::error_code ec;
    fs::remove_all(path_, ec);  // a leftover of an earlier process with the same pid
    fs::create_directories(path_, ec);
    if (ec) ADD_FAILURE() << "cannot create " << path_.string() << ": " << ec.message();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace quorvex::test
