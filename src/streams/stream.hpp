#pragma once
// Streams of unsigned 32-bit values and their stored form: byte planes of the narrowest
// width, compressed as one zstd frame, behind an 11-byte record header
// (attr u8, kind u8, width u8, count u32, payload length u32).

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "support/error.hpp"

// zstd's context type, as zstd.h declares it.
struct ZSTD_CCtx_s;

namespace quorvex {

inline constexpr size_t kStreamRecordBytes = 11;
// Streams with more plane bytes than this use zstd's multi-threaded streaming compression.
inline constexpr size_t kMtThreshold = 4u << 20;
inline constexpr size_t kMtJobSize = 2u << 20;
// Level 0 picks 19 up to this many plane bytes and 13 above.
inline constexpr size_t kAutoLevelLimit = 8u << 20;

// zstd compression contexts lent to pack calls and kept between them, so that a context's
// working memory (and, in multi-threaded mode, its worker threads) is set up once for a run of
// streams rather than once per stream. Concurrent calls may share a pool: each borrows a
// context no other call is using. The contexts are freed with the pool.
struct ZstdPool {
    std::mutex mutex;
    std::vector<ZSTD_CCtx_s*> one_shot;   // idle contexts for one-call compression
    std::vector<ZSTD_CCtx_s*> streaming;  // idle multi-threaded streaming contexts
    ZstdPool() = default;
    ZstdPool(const ZstdPool&) = delete;
    ZstdPool& operator=(const ZstdPool&) = delete;
    ~ZstdPool();
};

struct RawStream {
    std::vector<uint32_t> values;
    uint8_t attr = 0;
    uint8_t kind = 0;
};

struct PackedStream {
    std::vector<uint8_t> bytes;  // one zstd frame holding the byte planes
    uint64_t raw_len = 0;        // count × width
    double entropy = 0.0;        // order-0 entropy of the planes, in bytes
    uint32_t count = 0;
    uint8_t attr = 0;
    uint8_t kind = 0;
    uint8_t width = 1;
};

// Narrowest width (1, 2 or 4 bytes) that holds every value.
uint8_t stream_width(std::span<const uint32_t> values);
// Splits values into `width` byte planes, least significant plane first.
std::vector<uint8_t> to_planes(std::span<const uint32_t> values, uint8_t width);
// Rebuilds `count` values from byte planes; planes.size() must be width × count.
std::vector<uint32_t> from_planes(std::span<const uint8_t> planes, uint8_t width, size_t count);
// Order-0 entropy of the bytes, in bytes.
double entropy_bytes(std::span<const uint8_t> bytes);

// The zstd level used for `raw_len` plane bytes: `level` itself, or for 0 the automatic
// choice, 19 up to kAutoLevelLimit bytes and 13 above.
int32_t effective_level(uint64_t raw_len, int32_t level);

// Packs one stream at a zstd level (0 = automatic). Fails with zstd's error text, or when the
// stream cannot be recorded (2^32 values or more, a payload of 2^32 bytes or more).
Result<PackedStream> pack(RawStream raw, int32_t level);
// The same for values held elsewhere, packed as a stream of the given attr and kind. Their memory
// is reused for the byte planes, so the values are overwritten; the result equals pack's. With a
// pool, the compression context is borrowed from it.
Result<PackedStream> pack_in_place(std::span<uint32_t> values, uint8_t attr, uint8_t kind, int32_t level,
                                   ZstdPool* pool = nullptr);
// Packs count values already split into byte planes of the given width (the narrowest that holds
// them, as pack would choose): the result equals pack's for those values.
Result<PackedStream> pack_planes(std::span<const uint8_t> planes, uint8_t width, uint32_t count, uint8_t attr,
                                 uint8_t kind, int32_t level, ZstdPool* pool = nullptr);

// Writes the 11-byte record header of a packed stream at out; returns the byte after it.
uint8_t* store_record_header(uint8_t* out, const PackedStream& p);
// Appends the 11-byte record header of a packed stream.
void put_record_header(std::vector<uint8_t>& out, const PackedStream& p);

}  // namespace quorvex
