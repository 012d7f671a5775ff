// Encoding on arbitrary tiny sequences: bytes → Frames → encode twice (the container must be
// the same bytes both times) → open → verify within the bounds → reconstruct every frame.
// Input layout: byte 0 frames, byte 1 splats, byte 2 gop, byte 3 position, scale and colour
// bounds, byte 4 flags (bit 0 denoise colours, bit 1 positions and scales as raw float bits,
// bits 2-3 rotation bound, bits 4-5 position magnitude), then 32-byte .splat records, repeated
// cyclically to fill every frame. The bounds reach the extremes the command line accepts.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/encode.hpp"
#include "encode/holdable.hpp"
#include "fuzz_assert.hpp"
#include "model/frames.hpp"
#include "model/splat.hpp"
#include "support/bytes.hpp"

namespace {

using namespace quorvex;

constexpr size_t kPrefix = 5;

// Converts one record as frame loading does: position bits kept, scale to ln(max(s, 1e-9)),
// rotation byte − 128. Without raw floats, positions are int16 × `unit` metres and scales a
// byte / 64, so most inputs stay holdable and reach the encoder.
void put_record(Frames& f, uint64_t cell, const uint8_t* rec, bool raw_floats, float unit) {
    for (size_t j = 0; j < 3; ++j) {
        float p, s;
        if (raw_floats) {
            p = load_f32(rec + kSplatPosOffset + 4 * j);
            s = load_f32(rec + kSplatScaleOffset + 4 * j);
        } else {
            p = static_cast<float>(static_cast<int16_t>(load_u16(rec + kSplatPosOffset + 4 * j))) * unit;
            s = static_cast<float>(rec[kSplatScaleOffset + 4 * j]) / 64.0f;
        }
        f.pos[cell * 3 + j] = p;
        f.scale_log[cell * 3 + j] = std::log(s > kMinScale ? s : kMinScale);
        f.rgb[cell * 3 + j] = rec[kSplatRgbOffset + j];
    }
    f.alpha[cell] = rec[kSplatAlphaOffset];
    for (size_t j = 0; j < 4; ++j)
        f.rot[cell * 4 + j] = static_cast<int16_t>(int{rec[kSplatRotOffset + j]} - 128);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kPrefix + kSplatBytes) return 0;
    const uint64_t t = 1 + data[0] % 6;
    const uint64_t n = 1 + data[1] % 12;
    const uint64_t gop = 1 + data[2] % 4;
    const uint8_t b = data[3];
    const uint8_t flags = data[4];
    const bool denoise = flags & 1;
    const bool raw_floats = flags & 2;

    constexpr std::array<double, 8> kPosMm = {1e-6, 1e-3, 0.5, 2.0, 10.0, 250.0, 1e6, 1e12};
    constexpr std::array<double, 8> kScalePct = {1e-6, 1e-3, 0.5, 2.0, 10.0, 50.0, 1e3, 1e9};
    constexpr std::array<int32_t, 4> kLevels = {0, 1, 4, 1000000};
    constexpr std::array<float, 4> kUnit = {1.0f / 256.0f, 1.0f, 1e4f, 1e8f};
    Bounds bounds;
    bounds.pos_m = kPosMm[b & 7] / 1000.0;
    bounds.scale_rel = kScalePct[(b >> 3) & 7] / 100.0;
    bounds.rgb = bounds.alpha = kLevels[(b >> 6) & 3];
    bounds.rot = kLevels[(flags >> 2) & 3];
    const float unit = kUnit[(flags >> 4) & 3];

    Frames f = zeroed_frames(t, n);
    const size_t records = (size - kPrefix) / kSplatBytes;
    for (uint64_t cell = 0; cell < t * n; ++cell)
        put_record(f, cell, data + kPrefix + (cell % records) * kSplatBytes, raw_floats, unit);

    if (!check_holdable(f, bounds)) return 0;
    if (denoise) (void)f.denoise_colors();

    Frames twin = f;
    auto first = encode(f, bounds, gop, 1, denoise);
    QX_FUZZ_ASSERT(first, first ? "" : first.error().render().c_str());
    auto second = encode(twin, bounds, gop, 1, denoise);
    QX_FUZZ_ASSERT(second && second->bytes == first->bytes, "encoding is deterministic");

    auto dec = Decoder::from_bytes(first->bytes);
    QX_FUZZ_ASSERT(dec, dec ? "" : dec.error().render().c_str());
    QX_FUZZ_ASSERT(dec->header == first->header, "the header reads back as written");
    auto rep = verify(*dec, f);
    QX_FUZZ_ASSERT(rep, rep ? "" : rep.error().render().c_str());
    QX_FUZZ_ASSERT(rep->ok, "a holdable sequence verifies within its bounds");
    for (uint64_t k = 0; k < t; ++k) {
        auto rec = reconstruct_frame(*dec, k);
        QX_FUZZ_ASSERT(rec && rec->size() == n * kSplatBytes, "every frame reconstructs");
    }
    return 0;
}
