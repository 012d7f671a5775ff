#include "decode/unpack.hpp"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <new>

#include "streams/stream.hpp"
#include "support/big_alloc.hpp"

namespace quorvex {

namespace {

using DCtxPtr = std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)>;

Error zstd_error(size_t code) { return Error::msg(ZSTD_getErrorName(code)); }

Error cannot_hold(size_t len, uint32_t count, uint8_t width) {
    return Error::make("stream payload of {} bytes cannot hold {} values of width {}", len, count, width);
}

Error short_payload(uint64_t got, uint64_t need) {
    return Error::make("stream payload holds {} bytes, expected {}", got, need);
}

constexpr uint32_t kZstdMagic = 0xFD2FB528u;
// A compressed block never regenerates more than this.
constexpr uint64_t kMaxBlockBytes = 128u << 10;

// Upper bound of the bytes one frame (already checked by ZSTD_findFrameCompressedSize to be
// well formed and to span exactly `frame`) can regenerate, from its block headers alone: raw
// and RLE blocks state their size, a compressed block yields at most 128 KiB. Unlike the
// content size a frame header may declare, this cannot promise more than the blocks hold.
uint64_t frame_output_bound(std::span<const uint8_t> frame) {
    // Skippable frames regenerate nothing.
    if (frame.size() < 5 || load_u32(frame.data()) != kZstdMagic) return 0;
    // Frame header: magic, descriptor, window byte unless single segment, dictionary id, and
    // the content size field.
    const uint8_t fhd = frame[4];
    const bool single = (fhd >> 5) & 1;
    static constexpr size_t kDictBytes[4] = {0, 1, 2, 4};
    const size_t fcs_bytes = (fhd >> 6) == 0 ? (single ? 1 : 0) : size_t{1} << (fhd >> 6);
    size_t pos = 5 + (single ? 0 : 1) + kDictBytes[fhd & 3] + fcs_bytes;
    uint64_t bound = 0;
    while (pos + 3 <= frame.size()) {
        const uint32_t bh =
            uint32_t{frame[pos]} | uint32_t{frame[pos + 1]} << 8 | uint32_t{frame[pos + 2]} << 16;
        pos += 3;
        const uint32_t type = (bh >> 1) & 3;
        const uint32_t size = bh >> 3;
        if (type == 0) {  // raw: size bytes copied
            bound += size;
            pos += size;
        } else if (type == 1) {  // RLE: one byte repeated size times
            bound += size;
            pos += 1;
        } else {  // compressed (the reserved type was refused by zstd already)
            bound += kMaxBlockBytes;
            pos += size;
        }
        if (bh & 1) break;  // last block
    }
    return bound;
}

// Upper bound of the bytes a payload can regenerate, frame after frame as zstd decompresses
// it; a malformed frame fails with zstd's own error.
Result<uint64_t> payload_output_bound(std::span<const uint8_t> payload) {
    uint64_t bound = 0;
    while (!payload.empty()) {
        const size_t len = ZSTD_findFrameCompressedSize(payload.data(), payload.size());
        if (ZSTD_isError(len)) return zstd_error(len);
        bound += frame_output_bound(payload.first(len));
        payload = payload.subspan(len);
    }
    return bound;
}

}  // namespace

std::optional<RecordHeader> read_record_header(ByteReader& r) {
    if (!r.has(kStreamRecordBytes)) return std::nullopt;
    RecordHeader h;
    h.attr = *r.u8();
    h.kind = *r.u8();
    h.width = *r.u8();
    h.count = *r.u32();
    h.len = *r.u32();
    return h;
}

Status check_payload(std::span<const uint8_t> payload, uint8_t width, uint32_t count) {
    if (width != 1 && width != 2 && width != 4)
        return Error::make("invalid stream width {} (expected 1, 2 or 4)", width);
    const uint64_t need = uint64_t{width} * count;
    // Everything here runs before the output buffer is allocated, so a small record that
    // claims billions of values costs nothing.
    const unsigned long long declared = ZSTD_getFrameContentSize(payload.data(), payload.size());
    if (declared == ZSTD_CONTENTSIZE_ERROR) {
        // Not a readable frame header: a decompression into no space at all fails on the
        // header and names the fault in zstd's own words.
        DCtxPtr dctx(ZSTD_createDCtx(), &ZSTD_freeDCtx);
        if (!dctx) return Error::msg("cannot create a zstd decompression context");
        uint8_t none = 0;
        size_t r = ZSTD_decompressDCtx(dctx.get(), &none, 0, payload.data(), payload.size());
        if (ZSTD_isError(r)) return zstd_error(r);
    } else if (declared != ZSTD_CONTENTSIZE_UNKNOWN) {
        // The encoder always records the content size; it must be exactly the planes' size.
        if (declared > need) return Error::msg(ZSTD_getErrorString(ZSTD_error_dstSize_tooSmall));
        if (declared < need) return short_payload(declared, need);
    }
    // (need − 1) / ratio > len  ⇔  need > (len + 1) × ratio, without overflow.
    if (need != 0 && (need - 1) / kMaxPayloadRatio > payload.size())
        return cannot_hold(payload.size(), count, width);
    // The blocks themselves must be able to produce the planes: a frame header that declares
    // a large content size over a few small blocks is refused here, not after allocating.
    if (need != 0) {
        QX_TRY(bound, payload_output_bound(payload));
        if (bound < need) return Error::make("stream payload holds at most {} bytes, expected {}", bound, need);
    }
    return Ok{};
}

Status decompress_planes(std::span<const uint8_t> payload, uint8_t width, uint32_t count, uint8_t* out) {
    const uint64_t need = uint64_t{width} * count;
    DCtxPtr dctx(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!dctx) return Error::msg("cannot create a zstd decompression context");
    size_t got = ZSTD_decompressDCtx(dctx.get(), out, need, payload.data(), payload.size());
    if (ZSTD_isError(got)) return zstd_error(got);
    if (got != need) return short_payload(got, need);
    return Ok{};
}

Result<std::unique_ptr<uint8_t[]>> unpack_planes(std::span<const uint8_t> payload, uint8_t width,
                                                 uint32_t count) {
    QX_CHECK(check_payload(payload, width, count));
    std::unique_ptr<uint8_t[]> planes;
    try {
        planes = alloc_uninit<uint8_t>(size_t{width} * count);
    } catch (const std::bad_alloc&) {
        return Error::make("cannot allocate {} bytes for a stream of {} values", size_t{width} * count, count);
    }
    QX_CHECK(decompress_planes(payload, width, count, planes.get()));
    return planes;
}

Result<std::vector<uint32_t>> unpack_payload(std::span<const uint8_t> payload, uint8_t width,
                                             uint32_t count) {
    QX_TRY(planes, unpack_planes(payload, width, count));
    try {
        return from_planes(std::span<const uint8_t>(planes.get(), size_t{width} * count), width, count);
    } catch (const std::bad_alloc&) {
        return Error::make("cannot allocate {} bytes for a stream of {} values", uint64_t{4} * count, count);
    }
}

Result<std::vector<uint32_t>> unpack(std::span<const uint8_t> buf, size_t& cursor) {
    ByteReader r{buf, cursor};
    auto header = read_record_header(r);
    if (!header) return Error::msg("truncated stream header");
    auto payload = r.take(header->len);
    if (!payload) return Error::msg("truncated stream payload");
    QX_TRY(values, unpack_payload(*payload, header->width, header->count));
    cursor = r.pos;
    return values;
}

}  // namespace quorvex
