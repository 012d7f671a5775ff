#include <zstd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "streams/stream.hpp"
#include "support/big_alloc.hpp"
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

// The payload leaves the worst-case buffer (never zero-filled, so its untouched tail costs
// nothing) as an exactly sized copy.
std::vector<uint8_t> exact_copy(const uint8_t* data, size_t len) { return std::vector<uint8_t>(data, data + len); }

Result<std::vector<uint8_t>> compress_one_shot(std::span<const uint8_t> planes, int32_t level) {
    CCtxPtr cctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!cctx) return Error::msg("cannot create a zstd compression context");
    const size_t bound = ZSTD_compressBound(planes.size());
    std::unique_ptr<uint8_t[]> out = alloc_uninit<uint8_t>(bound);
    size_t n = ZSTD_compressCCtx(cctx.get(), out.get(), bound, planes.data(), planes.size(), level);
    if (ZSTD_isError(n)) return zstd_error(n);
    return exact_copy(out.get(), n);
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

    size_t cap = ZSTD_compressBound(planes.size());
    std::unique_ptr<uint8_t[]> out = alloc_uninit<uint8_t>(cap);
    ZSTD_inBuffer in{planes.data(), planes.size(), 0};
    ZSTD_outBuffer ob{out.get(), cap, 0};
    // Everything goes in with ZSTD_e_end, so zstd knows the whole size up front and records it
    // as the frame's content size; loop until it reports the frame fully flushed.
    for (;;) {
        size_t left = ZSTD_compressStream2(cctx.get(), &ob, &in, ZSTD_e_end);
        if (ZSTD_isError(left)) return zstd_error(left);
        if (left == 0) break;
        if (ob.pos == ob.size) {
            // The bound should always suffice; grow rather than fail if it ever does not.
            const size_t bigger = cap + std::max<size_t>(left, kMtJobSize);
            std::unique_ptr<uint8_t[]> grown = alloc_uninit<uint8_t>(bigger);
            std::memcpy(grown.get(), out.get(), ob.pos);
            out = std::move(grown);
            cap = bigger;
            ob.dst = out.get();
            ob.size = cap;
        }
    }
    return exact_copy(out.get(), ob.pos);
}

// Order-0 entropy, in bytes, of bytes whose value counts are hist.
double entropy_from(const std::array<uint64_t, 256>& hist, uint64_t total) {
    if (total == 0) return 0.0;
    const double n = static_cast<double>(total);
    double sum = 0.0;
    for (uint64_t h : hist) {
        if (h == 0) continue;
        const double hd = static_cast<double>(h);
        sum += -hd * std::log2(hd / n);
    }
    return sum * 0.125;
}

// Byte counts of data. Four tables take alternate bytes, so runs of one byte value do not
// wait on the same counter; their sums are the exact counts.
std::array<uint64_t, 256> histogram(const uint8_t* data, size_t len) {
    std::array<std::array<uint32_t, 256>, 4> part{};
    std::array<uint64_t, 256> hist{};
    // 32-bit partial counters are flushed before they could overflow.
    constexpr size_t kFlush = size_t{1} << 30;
    size_t i = 0;
    while (i < len) {
        const size_t end = std::min(len, i + kFlush);
        for (; i + 4 <= end; i += 4) {
            ++part[0][data[i]];
            ++part[1][data[i + 1]];
            ++part[2][data[i + 2]];
            ++part[3][data[i + 3]];
        }
        for (; i < end; ++i) ++part[0][data[i]];
        for (auto& p : part) {
            for (size_t b = 0; b < 256; ++b) hist[b] += p[b];
            p.fill(0);
        }
    }
    return hist;
}

// The byte planes of values at a width that holds every one of them.
void write_planes(std::span<const uint32_t> values, uint8_t width, uint8_t* planes) {
    const size_t count = values.size();
    const uint32_t* v = values.data();
    for (size_t p = 0; p < width; ++p) {
        uint8_t* dst = planes + p * count;
        const unsigned shift = static_cast<unsigned>(8 * p);
        for (size_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>(v[i] >> shift);
    }
}

// A stream's record fields and byte planes, ready for compression.
struct Planes {
    PackedStream head;  // everything but the payload
    std::unique_ptr<uint8_t[]> bytes;
};

Result<Planes> make_planes(std::span<const uint32_t> values, uint8_t attr, uint8_t kind) {
    if (values.size() > kRecordFieldMax)
        return Error::make("stream of {} values is too long for a stream record (at most {})", values.size(),
                           kRecordFieldMax);
    Planes pl;
    PackedStream& p = pl.head;
    p.attr = attr;
    p.kind = kind;
    p.count = static_cast<uint32_t>(values.size());
    p.width = stream_width(values);
    p.raw_len = uint64_t{p.count} * p.width;
    pl.bytes = alloc_uninit<uint8_t>(static_cast<size_t>(p.raw_len));
    write_planes(values, p.width, pl.bytes.get());
    p.entropy = entropy_from(histogram(pl.bytes.get(), p.raw_len), p.raw_len);
    return pl;
}

Result<PackedStream> compress_planes(Planes pl, int32_t level) {
    PackedStream p = std::move(pl.head);
    const int32_t lvl = effective_level(p.raw_len, level);
    const std::span<const uint8_t> planes(pl.bytes.get(), static_cast<size_t>(p.raw_len));
    auto payload = planes.size() <= kMtThreshold ? compress_one_shot(planes, lvl) : compress_streaming(planes, lvl);
    if (!payload) return std::move(payload).error();
    if (payload->size() > kRecordFieldMax)
        return Error::make("compressed stream of {} bytes is too long for a stream record (at most {})",
                           payload->size(), kRecordFieldMax);
    p.bytes = std::move(*payload);
    return p;
}

}  // namespace

uint8_t stream_width(std::span<const uint32_t> values) {
    // The OR of all values has a bit at or above bit 8 (16) exactly when some value does, so it
    // decides the width as the maximum would.
    uint32_t any = 0;
    for (uint32_t v : values) any |= v;
    if (any <= 0xFFu) return 1;
    if (any <= 0xFFFFu) return 2;
    return 4;
}

std::vector<uint8_t> to_planes(std::span<const uint32_t> values, uint8_t width) {
    std::vector<uint8_t> planes(values.size() * width);
    write_planes(values, width, planes.data());
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
    return entropy_from(histogram(bytes.data(), bytes.size()), bytes.size());
}

int32_t effective_level(uint64_t raw_len, int32_t level) {
    if (level != 0) return level;
    return raw_len <= kAutoLevelLimit ? 19 : 13;
}

Result<PackedStream> pack(RawStream raw, int32_t level) {
    QX_TRY(planes, make_planes(raw.values, raw.attr, raw.kind));
    // The values are no longer needed; give their memory back before compressing.
    std::vector<uint32_t>().swap(raw.values);
    return compress_planes(std::move(planes), level);
}

Result<PackedStream> pack_values(std::span<const uint32_t> values, uint8_t attr, uint8_t kind, int32_t level) {
    QX_TRY(planes, make_planes(values, attr, kind));
    return compress_planes(std::move(planes), level);
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
