#include "decode/unpack.hpp"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>

#include "streams/stream.hpp"
#include "support/big_alloc.hpp"

namespace quorvex {

namespace {

using DCtxPtr = std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)>;

Error zstd_error(size_t code) { return Error::msg(ZSTD_getErrorName(code)); }

Error short_payload(uint64_t got, uint64_t need) {
    return Error::make("stream payload holds {} bytes, expected {}", got, need);
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
        return Error::make("stream payload of {} bytes cannot hold {} values of width {}", payload.size(),
                           count, width);
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
    std::unique_ptr<uint8_t[]> planes = alloc_uninit<uint8_t>(size_t{width} * count);
    QX_CHECK(decompress_planes(payload, width, count, planes.get()));
    return planes;
}

Result<std::vector<uint32_t>> unpack_payload(std::span<const uint8_t> payload, uint8_t width,
                                             uint32_t count) {
    QX_TRY(planes, unpack_planes(payload, width, count));
    return from_planes(std::span<const uint8_t>(planes.get(), size_t{width} * count), width, count);
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
