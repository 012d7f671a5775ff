// Container reading on arbitrary bytes: open, every GOP section, a handful of frames, the
// info text, and when the claimed sequence is small an exhaustive verification against a
// reference made from the input. Whatever the bytes, each step returns a value or an error.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "decode/decoder.hpp"
#include "decode/verify.hpp"
#include "encode/front_end.hpp"
#include "fuzz_assert.hpp"
#include "model/frames.hpp"
#include "model/splat.hpp"

namespace {

using namespace quorvex;

// Largest reference (frames × splats) built for verification, to keep each run fast.
constexpr uint64_t kMaxReferenceCells = 100000;
// Frames reconstructed per input: the first and the last few.
constexpr uint64_t kMaxFrames = 16;

// A t × n sequence whose planes cycle through the input bytes, so the fuzzer also steers
// the reference values (including NaN and infinite floats).
Frames reference(uint64_t t, uint64_t n, const uint8_t* data, size_t size) {
    Frames f = zeroed_frames(t, n);
    size_t at = 0;
    auto next = [&]() -> uint8_t { return size == 0 ? 0 : data[at++ % size]; };
    auto next_f32 = [&]() {
        uint32_t bits = 0;
        for (int b = 0; b < 4; ++b) bits |= uint32_t{next()} << (8 * b);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    };
    for (float& v : f.pos) v = next_f32();
    for (float& v : f.scale_log) v = next_f32();
    for (uint8_t& v : f.rgb) v = next();
    for (uint8_t& v : f.alpha) v = next();
    for (int16_t& v : f.rot) v = static_cast<int16_t>(int{next()} - 128);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto dec = Decoder::from_bytes(std::vector<uint8_t>(data, data + size));
    if (!dec) return 0;
    const Header& h = dec->header;

    for (uint64_t g = 0; g < h.gops.size(); ++g) (void)dec->gop_streams(g);
    QX_FUZZ_ASSERT(!dec->gop_streams(h.gops.size()), "a GOP beyond the table must be refused");

    const uint64_t tries = std::min(h.t, kMaxFrames);
    for (uint64_t i = 0; i < tries; ++i) {
        const uint64_t frame = i < tries / 2 ? i : h.t - (tries - i);
        auto rec = reconstruct_frame(*dec, frame);
        if (rec) QX_FUZZ_ASSERT(rec->size() == h.n * kSplatBytes, "a frame holds n records");
    }
    QX_FUZZ_ASSERT(!reconstruct_frame(*dec, h.t), "frame t is out of range");

    (void)header_to_pretty_json(h);

    if (h.t != 0 && h.n != 0 && h.n <= kMaxReferenceCells / h.t) {
        const Frames ref = reference(h.t, h.n, data, size);
        (void)verify(*dec, ref);
        // The verify command first reorders its reference with the front end, at the bounds
        // the header states, whatever they are.
        Frames reordered = ref;
        (void)front_end(reordered, h.bounds);
        (void)verify(*dec, reordered);
        // A reference of another shape is refused before anything is decoded.
        const Frames other =
            reference(h.t, h.n + 1 <= kMaxReferenceCells / h.t ? h.n + 1 : h.n - 1, data, size);
        QX_FUZZ_ASSERT(!verify(*dec, other), "a reference of another shape must be refused");
    }
    return 0;
}
