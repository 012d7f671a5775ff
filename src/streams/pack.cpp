#include <zstd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "streams/stream.hpp"
#include "support/bytes.hpp"
#include "support/parallel.hpp"

namespace quorvex {

namespace {

using CCtxPtr = std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)>;

// Both record fields, the value count and the payload length, are unsigned 32-bit.
constexpr uint64_t kRecordFieldMax = std::numeric_limits<uint32_t>::max();

Error zstd_error(size_t code) { return Error::msg(ZSTD_getErrorName(code)); }

Status set_param(ZSTD_CCtx* cctx, ZSTD_cParameter param, int value) {
    size_t r = ZSTD_CCtx_setParameter(cctx, param, value);
    if (ZSTD_isError(r)) return zstd_error(r);
    return Ok{};
}

Result<std::vector<uint8_t>> compress_one_shot(std::span<const uint8_t> planes, int32_t level) {
    CCtxPtr cctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!cctx) return Error::msg("cannot create a zstd compression context");
    std::vector<uint8_t> out(ZSTD_compressBound(planes.size()));
    size_t n = ZSTD_compressCCtx(cctx.get(), out.data(), out.size(), planes.data(), planes.size(), level);
    if (ZSTD_isError(n)) return zstd_error(n);
    out.resize(n);
    return out;
}

// zstd's multi-threaded streaming mode. nbWorkers is at least 1 even on a one-thread pool:
// the multi-threaded frame layout differs from the single-threaded one but does not depend
// on how many workers there are, so the payload is the same for every thread count.
Result<std::vector<uint8_t>> compress_streaming(std::span<const uint8_t> planes, int32_t level) {
    CCtxPtr cctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!cctx) return Error::msg("cannot create a zstd compression context");
    QX_CHECK(set_param(cctx.get(), ZSTD_c_compressionLevel, level));
    const size_t workers = std::max<size_t>(pool_threads(), 1);
    QX_CHECK(set_param(cctx.get(), ZSTD_c_nbWorkers, static_cast<int>(workers)));
    QX_CHECK(set_param(cctx.get(), ZSTD_c_jobSize, static_cast<int>(kMtJobSize)));

    std::vector<uint8_t> out(ZSTD_compressBound(planes.size()));
    ZSTD_inBuffer in{planes.data(), planes.size(), 0};
    ZSTD_outBuffer ob{out.data(), out.size(), 0};
    // Everything goes in with ZSTD_e_end, so zstd knows the whole size up front and records it
    // as the frame's content size; loop until it reports the frame fully flushed.
    for (;;) {
        size_t left = ZSTD_compressStream2(cctx.get(), &ob, &in, ZSTD_e_end);
        if (ZSTD_isError(left)) return zstd_error(left);
        if (left == 0) break;
        if (ob.pos == ob.size) {
            // The bound should always suffice; grow rather than fail if it ever does not.
            out.resize(out.size() + std::max<size_t>(left, kMtJobSize));
            ob.dst = out.data();
            ob.size = out.size();
        }
    }
    out.resize(ob.pos);
    return out;
}

}  // namespace

uint8_t stream_width(std::span<const uint32_t> values) {
    uint32_t max = 0;
    for (uint32_t v : values) max = v > max ? v : max;
    if (max <= 0xFFu) return 1;
    if (max <= 0xFFFFu) return 2;
    return 4;
}

std::vector<uint8_t> to_planes(std::span<const uint32_t> values, uint8_t width) {
    const size_t count = values.size();
    std::vector<uint8_t> planes(count * width);
    for (size_t p = 0; p < width; ++p) {
        uint8_t* dst = planes.data() + p * count;
        const unsigned shift = static_cast<unsigned>(8 * p);
        for (size_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>(values[i] >> shift);
    }
    return planes;
}

std::vector<uint32_t> from_planes(std::span<const uint8_t> planes, uint8_t width, size_t count) {
    std::vector<uint32_t> values(count, 0);
    for (size_t p = 0; p < width; ++p) {
        const uint8_t* src = planes.data() + p * count;
        const unsigned shift = static_cast<unsigned>(8 * p);
        for (size_t i = 0; i < count; ++i) values[i] |= uint32_t{src[i]} << shift;
    }
    return values;
}

double entropy_bytes(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return 0.0;
    std::array<uint64_t, 256> hist{};
    for (uint8_t b : bytes) ++hist[b];
    const double n = static_cast<double>(bytes.size());
    double sum = 0.0;
    for (uint64_t h : hist) {
        if (h == 0) continue;
        const double hd = static_cast<double>(h);
        sum += -hd * std::log2(hd / n);
    }
    return sum * 0.125;
}

int32_t effective_level(uint64_t raw_len, int32_t level) {
    if (level != 0) return level;
    return raw_len <= kAutoLevelLimit ? 19 : 13;
}

Result<PackedStream> pack(RawStream raw, int32_t level) {
    if (raw.values.size() > kRecordFieldMax)
        return Error::make("stream of {} values is too long for a stream record (at most {})",
                           raw.values.size(), kRecordFieldMax);

    PackedStream p;
    p.attr = raw.attr;
    p.kind = raw.kind;
    p.count = static_cast<uint32_t>(raw.values.size());
    p.width = stream_width(raw.values);
    std::vector<uint8_t> planes = to_planes(raw.values, p.width);
    // The values are no longer needed; give their memory back before compressing.
    std::vector<uint32_t>().swap(raw.values);

    p.raw_len = planes.size();
    p.entropy = entropy_bytes(planes);
    const int32_t lvl = effective_level(p.raw_len, level);

    auto payload =
        planes.size() <= kMtThreshold ? compress_one_shot(planes, lvl) : compress_streaming(planes, lvl);
    if (!payload) return std::move(payload).error();
    if (payload->size() > kRecordFieldMax)
        return Error::make("compressed stream of {} bytes is too long for a stream record (at most {})",
                           payload->size(), kRecordFieldMax);
    p.bytes = std::move(*payload);
    // The buffer was sized for the worst case; packed streams wait in memory until the container
    // is assembled, so keep only the payload itself.
    p.bytes.shrink_to_fit();
    return p;
}

void put_record_header(std::vector<uint8_t>& out, const PackedStream& p) {
    out.push_back(p.attr);
    out.push_back(p.kind);
    out.push_back(p.width);
    put_u32(out, p.count);
    // pack refuses payloads that do not fit the 32-bit length field.
    put_u32(out, static_cast<uint32_t>(p.bytes.size()));
}

}  // namespace quorvex
