// Writes the seed corpora of the fuzz targets into a directory, one subdirectory per target:
// containers of a few small sequences and broken variants of them (cut short, bytes flipped,
// headers that claim too much) for fuzz_open; their header texts, manifests and the committed
// JSON seeds for fuzz_json; stream records for fuzz_unpack; tiny sequences for fuzz_roundtrip.
//
//   qx-fuzz-seeds OUT_DIR [JSON_SEED_DIR]

#include <fmt/core.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "encode/container.hpp"
#include "encode/encode.hpp"
#include "encode/header.hpp"
#include "model/frames.hpp"
#include "model/splat.hpp"
#include "streams/stream.hpp"
#include "support/bytes.hpp"
#include "support/container_edit.hpp"
#include "support/file_io.hpp"

namespace {

using namespace quorvex;
namespace fs = std::filesystem;

struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

struct Sample {
    const char* name;
    uint64_t t, n, gop;
    double moving;  // fraction of splats whose attributes change
    bool denoise;
    bool nan;  // a NaN position here and there
    Bounds bounds;
};

Frames make_sample(const Sample& s, uint64_t seed) {
    Frames f = zeroed_frames(s.t, s.n);
    Rng rng{seed};
    for (uint64_t i = 0; i < s.n; ++i) {
        const bool moves = rng.unit() < s.moving;
        float p[3], sc[3];
        uint8_t c[3];
        int16_t r[4];
        for (int j = 0; j < 3; ++j) {
            p[j] = static_cast<float>(rng.unit() * 4.0 - 2.0);
            sc[j] = static_cast<float>(std::log(0.001 + rng.unit() * 0.1));
            c[j] = static_cast<uint8_t>(rng.next());
        }
        const uint8_t a = static_cast<uint8_t>(rng.next());
        for (int16_t& q : r) q = static_cast<int16_t>(static_cast<int>(rng.next() % 256) - 128);
        for (uint64_t k = 0; k < s.t; ++k) {
            const uint64_t cell = k * s.n + i;
            const double drift = moves ? 0.01 * static_cast<double>(k) : 0.0;
            for (int j = 0; j < 3; ++j) {
                f.pos[cell * 3 + j] = static_cast<float>(p[j] + drift * (j + 1));
                f.scale_log[cell * 3 + j] = sc[j] + static_cast<float>(drift);
                f.rgb[cell * 3 + j] = moves ? static_cast<uint8_t>(c[j] + 7 * k) : c[j];
            }
            if (s.nan && rng.next() % 17 == 0) f.pos[cell * 3] = std::numeric_limits<float>::quiet_NaN();
            f.alpha[cell] = moves ? static_cast<uint8_t>(a + 3 * k) : a;
            for (int j = 0; j < 4; ++j)
                f.rot[cell * 4 + j] =
                    moves ? static_cast<int16_t>((r[j] + 128 + 5 * static_cast<int>(k)) % 256 - 128) : r[j];
        }
    }
    return f;
}

bool put(const fs::path& path, std::span<const uint8_t> bytes) {
    auto st = write_file(path, bytes);
    if (!st) std::fprintf(stderr, "%s: %s\n", path.c_str(), st.error().render().c_str());
    return static_cast<bool>(st);
}
bool put_text(const fs::path& path, std::string_view text) {
    return put(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

using test::with_header;

bool open_seeds(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& c,
                const Header& h) {
    bool ok = put(dir / (name + ".qrvx"), c);
    const uint64_t hlen = load_u32(c.data() + 8);
    const uint64_t static_end = h.static_section.offset + h.static_section.len;
    // Cut short at every structural boundary and inside each part.
    const uint64_t cuts[] = {0,
                             11,
                             12,
                             kPreambleBytes + hlen / 2,
                             kPreambleBytes + hlen,
                             h.static_section.offset + 5,
                             (h.static_section.offset + static_end) / 2,
                             static_end,
                             c.size() - 1};
    for (uint64_t cut : cuts)
        if (cut < c.size())
            ok &= put(dir / fmt::format("{}.cut{}.qrvx", name, cut), std::span(c.data(), cut));
    // Flipped bytes: version, header length, then spread over the static and GOP sections.
    Rng rng{hlen};
    std::vector<uint64_t> flips = {4, 8, 9, 11};
    for (int i = 0; i < 8; ++i)
        flips.push_back(h.static_section.offset + rng.next() % (c.size() - h.static_section.offset));
    for (uint64_t at : flips) {
        std::vector<uint8_t> v = c;
        v[at] ^= static_cast<uint8_t>(1u << (rng.next() % 8));
        ok &= put(dir / fmt::format("{}.flip{}.qrvx", name, at), v);
    }
    std::vector<uint8_t> trailing = c;
    trailing.push_back(0);
    ok &= put(dir / (name + ".trailing.qrvx"), trailing);

    // Headers that claim more than the file holds.
    Header big_n = h;
    big_n.n = uint64_t{1} << 40;
    ok &= put(dir / (name + ".n2e40.qrvx"), with_header(c, big_n));
    Header big_t = h;
    big_t.t = uint64_t{1} << 40;
    ok &= put(dir / (name + ".t2e40.qrvx"), with_header(c, big_t));
    if (!h.gops.empty()) {
        Header twice = h;
        twice.gops.push_back(h.gops.front());
        ok &= put(dir / (name + ".gop_twice.qrvx"), with_header(c, twice));
        Header beyond = h;
        beyond.gops.back().f1 = h.t + 3;
        ok &= put(dir / (name + ".gop_beyond.qrvx"), with_header(c, beyond));
        Header far = h;
        far.gops.front().offset = uint64_t{1} << 62;
        ok &= put(dir / (name + ".gop_far.qrvx"), with_header(c, far));
    }
    Header steps = h;
    steps.steps.rgb = std::numeric_limits<int32_t>::min();
    steps.steps.pos = 1e300;
    steps.bounds.rgb = -1;
    ok &= put(dir / (name + ".steps.qrvx"), with_header(c, steps));
    return ok;
}

// A record of `values` behind a cursor byte of 0, as fuzz_unpack reads its input.
std::vector<uint8_t> unpack_seed(std::vector<uint32_t> values, uint8_t attr) {
    std::vector<uint8_t> out = {0};
    auto p = pack(RawStream{std::move(values), attr, 2}, 3);
    if (!p) return out;
    put_record_header(out, *p);
    out.insert(out.end(), p->bytes.begin(), p->bytes.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qx-fuzz-seeds OUT_DIR [JSON_SEED_DIR]\n");
        return 2;
    }
    const fs::path out = argv[1];
    std::error_code ec;
    for (const char* sub : {"open", "json", "unpack", "roundtrip"}) {
        fs::create_directories(out / sub, ec);
        if (ec) {
            std::fprintf(stderr, "%s: %s\n", (out / sub).c_str(), ec.message().c_str());
            return 1;
        }
    }
    bool ok = true;

    Bounds lossy;
    lossy.rot = 3;
    Bounds tight;
    tight.pos_m = 0.0005;
    tight.scale_rel = 0.005;
    tight.rgb = tight.alpha = 0;
    const Sample samples[] = {
        {"single", 1, 1, 30, 0.0, false, false, Bounds{}}, {"static", 4, 10, 30, 0.0, false, false, Bounds{}},
        {"mixed", 3, 6, 2, 0.5, false, false, Bounds{}},   {"moving", 5, 20, 2, 1.0, false, true, lossy},
        {"tight", 4, 9, 4, 0.7, false, true, tight},       {"denoised", 6, 10, 3, 0.6, true, false, Bounds{}},
    };
    uint64_t seed = 1;
    for (const Sample& s : samples) {
        Frames f = make_sample(s, seed++);
        if (s.denoise) (void)f.denoise_colors();
        auto e = encode(f, s.bounds, s.gop, 3, s.denoise);
        if (!e) {
            std::fprintf(stderr, "%s: %s\n", s.name, e.error().render().c_str());
            return 1;
        }
        ok &= open_seeds(out / "open", s.name, e->bytes, e->header);
        ok &= put_text(out / "json" / fmt::format("header_{}.json", s.name), *header_to_json(e->header));
    }

    // Stream records of every width, and two records back to back read from the second.
    ok &= put(out / "unpack" / "empty.bin", unpack_seed({}, 0));
    ok &= put(out / "unpack" / "width1.bin", unpack_seed({0, 1, 2, 255, 7, 7, 7, 7}, 2));
    ok &= put(out / "unpack" / "width2.bin", unpack_seed({256, 65535, 0, 1000}, 1));
    ok &= put(out / "unpack" / "width4.bin", unpack_seed({65536, 4294967295u, 0, 3}, 0));
    {
        std::vector<uint8_t> two = unpack_seed({1, 2, 3}, 3);
        const std::vector<uint8_t> second = unpack_seed({70000, 5}, 4);
        two.insert(two.end(), second.begin() + 1, second.end());
        two[0] = static_cast<uint8_t>(two.size() - second.size());  // cursor at the second record
        ok &= put(out / "unpack" / "two.bin", two);
    }

    // Tiny sequences: frames, splats, gop, bounds, flags, then records.
    for (uint64_t i = 0; i < 6; ++i) {
        Rng rng{100 + i};
        std::vector<uint8_t> in = {static_cast<uint8_t>(i), static_cast<uint8_t>(3 + 2 * i),
                                   static_cast<uint8_t>(i % 4), static_cast<uint8_t>(rng.next()),
                                   static_cast<uint8_t>(i % 2)};
        for (uint64_t r = 0; r < 2 + i; ++r)
            for (size_t b = 0; b < kSplatBytes; ++b) in.push_back(static_cast<uint8_t>(rng.next()));
        ok &= put(out / "roundtrip" / fmt::format("seq{}.bin", i), in);
    }

    // Committed JSON seeds (manifests, hand-written headers).
    if (argc > 2) {
        for (fs::directory_iterator it(argv[2], ec), end; !ec && it != end; it.increment(ec)) {
            auto text = read_file(it->path());
            if (!text) {
                std::fprintf(stderr, "%s: %s\n", it->path().c_str(), text.error().render().c_str());
                return 1;
            }
            ok &= put(out / "json" / it->path().filename(), *text);
        }
        if (ec) {
            std::fprintf(stderr, "%s: %s\n", argv[2], ec.message().c_str());
            return 1;
        }
    }
    return ok ? 0 : 1;
}
