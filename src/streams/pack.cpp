#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "streams/stream.hpp"
#include "support/big_alloc.hpp"
#include "support/bytes.hpp"
#include "support/parallel.hpp"

namespace quorvex {

namespace {

// Both record fields, the value count and the payload length, are unsigned 32-bit.
constexpr uint64_t kRecordFieldMax = std::numeric_limits<uint32_t>::max();

Error zstd_error(size_t code) { return Error::msg(ZSTD_getErrorName(code)); }

// The width that holds every value, from the OR of all values: it has a bit at or above bit 8
// (16) exactly when some value does, so it decides the width as the maximum would.
uint8_t width_of(uint32_t any) { return any <= 0xFFu ? 1 : any <= 0xFFFFu ? 2 : 4; }

Status set_param(ZSTD_CCtx* cctx, ZSTD_cParameter param, int value) {
    size_t r = ZSTD_CCtx_setParameter(cctx, param, value);
    if (ZSTD_isError(r)) return zstd_error(r);
    return Ok{};
}

// The payload leaves the worst-case buffer (never zero-filled, so its untouched tail costs
// nothing) as an exactly sized copy.
std::vector<uint8_t> exact_copy(const uint8_t* data, size_t len) { return {data, data + len}; }

// A context borrowed from a pool (or made for one call without one), handed back when done.
struct Borrowed {
    ZstdPool* pool = nullptr;
    bool streaming = false;
    ZSTD_CCtx* cctx = nullptr;
    Borrowed() = default;
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    ~Borrowed() {
        if (!cctx) return;
        if (!pool) {
            ZSTD_freeCCtx(cctx);
            return;
        }
        std::lock_guard lock(pool->mutex);
        (streaming ? pool->streaming : pool->one_shot).push_back(cctx);
    }
};

Status borrow(ZstdPool* pool, bool streaming, Borrowed& b) {
    b.pool = pool;
    b.streaming = streaming;
    if (pool) {
        std::lock_guard lock(pool->mutex);
        auto& idle = streaming ? pool->streaming : pool->one_shot;
        if (!idle.empty()) {
            b.cctx = idle.back();
            idle.pop_back();
        }
    }
    if (!b.cctx) b.cctx = ZSTD_createCCtx();
    if (!b.cctx) return Error::msg("cannot create a zstd compression context");
    return Ok{};
}

Result<std::vector<uint8_t>> compress_one_shot(std::span<const uint8_t> planes, int32_t level,
                                               ZstdPool* pool) {
    Borrowed b;
    QX_CHECK(borrow(pool, false, b));
    const size_t bound = ZSTD_compressBound(planes.size());
    std::unique_ptr<uint8_t[]> out = alloc_uninit<uint8_t>(bound);
    // This call takes the level alone and ignores any other parameter a reused context holds.
    size_t n = ZSTD_compressCCtx(b.cctx, out.get(), bound, planes.data(), planes.size(), level);
    if (ZSTD_isError(n)) return zstd_error(n);
    return exact_copy(out.get(), n);
}

// zstd's multi-threaded streaming mode. nbWorkers is at least 1 even on a one-thread pool:
// the multi-threaded frame layout differs from the single-threaded one but does not depend
// on how many workers there are, so the payload is the same for every thread count.
Result<std::vector<uint8_t>> compress_streaming(std::span<const uint8_t> planes, int32_t level,
                                                ZstdPool* pool) {
    Borrowed b;
    QX_CHECK(borrow(pool, true, b));
    ZSTD_CCtx* cctx = b.cctx;
    // A reused context starts over from the defaults, as a new one would.
    const size_t reset = ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
    if (ZSTD_isError(reset)) return zstd_error(reset);
    QX_CHECK(set_param(cctx, ZSTD_c_compressionLevel, level));
    const size_t workers = std::max<size_t>(pool_threads(), 1);
    QX_CHECK(set_param(cctx, ZSTD_c_nbWorkers, static_cast<int>(workers)));
    QX_CHECK(set_param(cctx, ZSTD_c_jobSize, static_cast<int>(kMtJobSize)));

    size_t cap = ZSTD_compressBound(planes.size());
    std::unique_ptr<uint8_t[]> out = alloc_uninit<uint8_t>(cap);
    ZSTD_inBuffer in{planes.data(), planes.size(), 0};
    ZSTD_outBuffer ob{out.get(), cap, 0};
    // Everything goes in with ZSTD_e_end, so zstd knows the whole size up front and records it
    // as the frame's content size; loop until it reports the frame fully flushed.
    for (;;) {
        size_t left = ZSTD_compressStream2(cctx, &ob, &in, ZSTD_e_end);
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

// Adds the byte counts of data (fewer than 2^32 bytes) to part. Four tables take the bytes in
// turn, so runs of one byte value (the zero deltas) do not wait on a single counter.
void count_bytes(const uint8_t* data, size_t len, std::array<std::array<uint32_t, 256>, 4>& part) {
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        ++part[0][data[i]];
        ++part[1][data[i + 1]];
        ++part[2][data[i + 2]];
        ++part[3][data[i + 3]];
    }
    for (; i < len; ++i) ++part[0][data[i]];
}

void add_counts(const std::array<std::array<uint32_t, 256>, 4>& part, std::array<uint64_t, 256>& hist) {
    for (const auto& p : part)
        for (size_t b = 0; b < 256; ++b) hist[b] += p[b];
}

// Byte counts of data, counted in blocks in parallel; the sums of the blocks' 32-bit counts
// are exact.
std::array<uint64_t, 256> histogram(std::span<const uint8_t> data) {
    constexpr size_t kBlock = size_t{1} << 18;
    const size_t blocks = (data.size() + kBlock - 1) / kBlock;
    std::vector<std::array<std::array<uint32_t, 256>, 4>> parts(blocks);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, blocks, 1), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t b = r.begin(); b < r.end(); ++b) {
            for (auto& p : parts[b]) p.fill(0);
            const size_t i0 = b * kBlock;
            count_bytes(data.data() + i0, std::min(kBlock, data.size() - i0), parts[b]);
        }
    });
    std::array<uint64_t, 256> hist{};
    for (const auto& p : parts) add_counts(p, hist);
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

// A stream's record fields and byte planes, ready for compression. The planes are owned by
// `owned` or, when packed in place, live in the caller's values.
struct Planes {
    PackedStream head;  // everything but the payload
    std::unique_ptr<uint8_t[]> owned;
    const uint8_t* bytes = nullptr;
};

Status check_count(size_t count) {
    if (count > kRecordFieldMax)
        return Error::make("stream of {} values is too long for a stream record (at most {})", count,
                           kRecordFieldMax);
    return Ok{};
}

// The record fields of count values (checked to fit) at the given width, payload aside.
PackedStream head_of(uint32_t count, uint8_t width, uint8_t attr, uint8_t kind) {
    PackedStream p;
    p.attr = attr;
    p.kind = kind;
    p.count = count;
    p.width = width;
    p.raw_len = uint64_t{p.count} * width;
    return p;
}

Result<Planes> make_planes(std::span<const uint32_t> values, uint8_t attr, uint8_t kind) {
    QX_CHECK(check_count(values.size()));
    Planes pl;
    pl.head = head_of(static_cast<uint32_t>(values.size()), stream_width(values), attr, kind);
    pl.owned = alloc_uninit<uint8_t>(static_cast<size_t>(pl.head.raw_len));
    pl.bytes = pl.owned.get();
    write_planes(values, pl.head.width, pl.owned.get());
    pl.head.entropy =
        entropy_from(histogram({pl.bytes, static_cast<size_t>(pl.head.raw_len)}), pl.head.raw_len);
    return pl;
}

// Values per task when narrowing in place, and per step through the cache-sized staging block.
constexpr size_t kNarrowBlock = size_t{1} << 16;
constexpr size_t kNarrowStep = 4096;

// Width-1 planes written over the values themselves: the bytes of block b are first narrowed
// into the start of the block's own values (in parallel, blocks being disjoint), then moved
// down to b × kNarrowBlock in block order, where they land on values already read.
std::array<uint64_t, 256> narrow_in_place(std::span<uint32_t> values) {
    const size_t count = values.size();
    const size_t blocks = (count + kNarrowBlock - 1) / kNarrowBlock;
    auto* base = reinterpret_cast<uint8_t*>(values.data());
    std::vector<std::array<std::array<uint32_t, 256>, 4>> hists(blocks);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, blocks, 1), [&](const tbb::blocked_range<size_t>& r) {
        uint8_t stage[kNarrowStep];
        for (size_t b = r.begin(); b < r.end(); ++b) {
            const size_t i0 = b * kNarrowBlock;
            const size_t i1 = std::min(count, i0 + kNarrowBlock);
            auto& h = hists[b];
            for (auto& p : h) p.fill(0);
            // Each step reads its values before writing their bytes, and writes below every
            // value not yet read.
            uint8_t* out = base + 4 * i0;
            for (size_t i = i0; i < i1; i += kNarrowStep) {
                const size_t len = std::min(kNarrowStep, i1 - i);
                const uint32_t* v = values.data() + i;
                for (size_t k = 0; k < len; ++k) stage[k] = static_cast<uint8_t>(v[k]);
                count_bytes(stage, len, h);
                std::memcpy(out + (i - i0), stage, len);
            }
        }
    });
    for (size_t b = 1; b < blocks; ++b) {
        const size_t i0 = b * kNarrowBlock;
        std::memmove(base + i0, base + 4 * i0, std::min(count, i0 + kNarrowBlock) - i0);
    }
    std::array<uint64_t, 256> hist{};
    for (const auto& h : hists) add_counts(h, hist);
    return hist;
}

Result<Planes> make_planes_in_place(std::span<uint32_t> values, uint8_t attr, uint8_t kind) {
    QX_CHECK(check_count(values.size()));
    const uint8_t width = stream_width(values);
    if (width != 1) return make_planes(values, attr, kind);
    Planes pl;
    pl.head = head_of(static_cast<uint32_t>(values.size()), width, attr, kind);
    pl.head.entropy = entropy_from(narrow_in_place(values), pl.head.raw_len);
    pl.bytes = reinterpret_cast<const uint8_t*>(values.data());
    return pl;
}

Result<PackedStream> compress_planes(Planes pl, int32_t level, ZstdPool* pool) {
    PackedStream p = std::move(pl.head);
    const int32_t lvl = effective_level(p.raw_len, level);
    const std::span<const uint8_t> planes(pl.bytes, static_cast<size_t>(p.raw_len));
    auto payload = planes.size() <= kMtThreshold ? compress_one_shot(planes, lvl, pool)
                                                 : compress_streaming(planes, lvl, pool);
    if (!payload) return std::move(payload).error();
    if (payload->size() > kRecordFieldMax)
        return Error::make("compressed stream of {} bytes is too long for a stream record (at most {})",
                           payload->size(), kRecordFieldMax);
    p.bytes = std::move(*payload);
    return p;
}

}  // namespace

uint8_t stream_width(std::span<const uint32_t> values) {
    // The OR of all values, over blocks in parallel: OR is exact in any grouping.
    const uint32_t any = tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, values.size(), kNarrowBlock), uint32_t{0},
        [&](const tbb::blocked_range<size_t>& r, uint32_t acc) {
            for (size_t i = r.begin(); i < r.end(); ++i) acc |= values[i];
            return acc;
        },
        [](uint32_t a, uint32_t b) { return a | b; });
    return width_of(any);
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

double entropy_bytes(std::span<const uint8_t> bytes) { return entropy_from(histogram(bytes), bytes.size()); }

int32_t effective_level(uint64_t raw_len, int32_t level) {
    if (level != 0) return level;
    return raw_len <= kAutoLevelLimit ? 19 : 13;
}

Result<PackedStream> pack(RawStream raw, int32_t level) {
    QX_TRY(planes, make_planes(raw.values, raw.attr, raw.kind));
    // The values are no longer needed; give their memory back before compressing.
    std::vector<uint32_t>().swap(raw.values);
    return compress_planes(std::move(planes), level, nullptr);
}

Result<PackedStream> pack_in_place(std::span<uint32_t> values, uint8_t attr, uint8_t kind, int32_t level,
                                   ZstdPool* pool) {
    QX_TRY(planes, make_planes_in_place(values, attr, kind));
    return compress_planes(std::move(planes), level, pool);
}

Result<PackedStream> pack_planes(std::span<const uint8_t> planes, uint8_t width, uint32_t count, uint8_t attr,
                                 uint8_t kind, int32_t level, ZstdPool* pool) {
    Planes pl;
    pl.head = head_of(count, width, attr, kind);
    pl.head.entropy = entropy_from(histogram(planes), planes.size());
    pl.bytes = planes.data();
    return compress_planes(std::move(pl), level, pool);
}

ZstdPool::~ZstdPool() {
    for (ZSTD_CCtx* c : one_shot) ZSTD_freeCCtx(c);
    for (ZSTD_CCtx* c : streaming) ZSTD_freeCCtx(c);
}

uint8_t* store_record_header(uint8_t* out, const PackedStream& p) {
    out[0] = p.attr;
    out[1] = p.kind;
    out[2] = p.width;
    store_u32(out + 3, p.count);
    // pack refuses payloads that do not fit the 32-bit length field.
    store_u32(out + 7, static_cast<uint32_t>(p.bytes.size()));
    return out + kStreamRecordBytes;
}

void put_record_header(std::vector<uint8_t>& out, const PackedStream& p) {
    const size_t at = out.size();
    out.resize(at + kStreamRecordBytes);
    store_record_header(out.data() + at, p);
}

}  // namespace quorvex
