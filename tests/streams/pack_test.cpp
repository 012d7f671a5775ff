#include <gtest/gtest.h>
#include <zstd.h>

#include <cmath>
#include <optional>

#include "streams/stream.hpp"
#include "support/parallel.hpp"

namespace quorvex {
namespace {

// Deterministic, moderately compressible values below `limit`.
std::vector<uint32_t> noisy_values(size_t n, uint32_t limit, uint64_t seed = 1) {
    std::vector<uint32_t> v(n);
    uint64_t s = seed;
    for (size_t i = 0; i < n; ++i) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        v[i] = static_cast<uint32_t>((s >> 33) % limit);
    }
    return v;
}

// Values made of repeated phrases with a little noise: match finding, and so the level, matters.
std::vector<uint32_t> phrase_values(size_t n, uint64_t seed = 1) {
    const auto pool = noisy_values(64 * 24, 200, seed);
    const auto pick = noisy_values(n / 24 + 1, 64, seed + 1);
    const auto noise = noisy_values(n, 97, seed + 2);
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = noise[i] == 0 ? 255 : pool[pick[i / 24] * 24 + i % 24];
    return v;
}

std::vector<uint8_t> decompress(const std::vector<uint8_t>& frame, size_t capacity) {
    std::vector<uint8_t> out(capacity);
    size_t n = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
    EXPECT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
}

std::vector<uint8_t> one_shot_reference(std::span<const uint8_t> planes, int level) {
    std::vector<uint8_t> out(ZSTD_compressBound(planes.size()));
    size_t n = ZSTD_compress(out.data(), out.size(), planes.data(), planes.size(), level);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

PackedStream pack_ok(std::vector<uint32_t> values, int32_t level, uint8_t attr = 0, uint8_t kind = 0) {
    auto r = pack(RawStream{std::move(values), attr, kind}, level);
    EXPECT_TRUE(r) << (r ? "" : r.error().render());
    return r ? std::move(*r) : PackedStream{};
}

TEST(StreamWidth, NarrowestWidthHoldingTheLargestValue) {
    struct Case {
        std::vector<uint32_t> values;
        uint8_t width;
    };
    const Case cases[] = {
        {{}, 1},
        {{0, 0}, 1},
        {{255}, 1},
        {{3, 256, 7}, 2},
        {{65535}, 2},
        {{65536, 0}, 4},
        {{1, 4294967295u, 2}, 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stream_width(c.values), c.width) << "first value " << (c.values.empty() ? 0 : c.values[0]);
    }
}

TEST(Planes, LowestBytesFirst) {
    const std::vector<uint32_t> two = {0x0102, 0x0304};
    EXPECT_EQ(to_planes(two, 2), (std::vector<uint8_t>{0x02, 0x04, 0x01, 0x03}));

    const std::vector<uint32_t> four = {0x01020304, 0xA0B0C0D0, 0x000000FF};
    const std::vector<uint8_t> planes = {0x04, 0xD0, 0xFF, 0x03, 0xC0, 0x00,
                                         0x02, 0xB0, 0x00, 0x01, 0xA0, 0x00};
    EXPECT_EQ(to_planes(four, 4), planes);
    EXPECT_EQ(from_planes(planes, 4, 3), four);
    EXPECT_EQ(from_planes(std::vector<uint8_t>{0x02, 0x04, 0x01, 0x03}, 2, 2), two);
}

TEST(Planes, RoundTripEveryWidth) {
    for (uint32_t limit : {256u, 65536u, 0xFFFFFFFFu}) {
        auto v = noisy_values(257, limit);
        v.push_back(limit - 1);
        const uint8_t w = stream_width(v);
        auto planes = to_planes(v, w);
        ASSERT_EQ(planes.size(), v.size() * w);
        EXPECT_EQ(from_planes(planes, w, v.size()), v) << "width " << int{w};
    }
}

TEST(Entropy, OrderZeroBytes) {
    EXPECT_EQ(entropy_bytes({}), 0.0);
    EXPECT_EQ(entropy_bytes(std::vector<uint8_t>(1000, 7)), 0.0);

    std::vector<uint8_t> two(1000);
    for (size_t i = 0; i < two.size(); ++i) two[i] = i % 2 ? 200 : 3;
    EXPECT_DOUBLE_EQ(entropy_bytes(two), 1000.0 / 8.0);

    std::vector<uint8_t> four(800);
    for (size_t i = 0; i < four.size(); ++i) four[i] = static_cast<uint8_t>(i % 4);
    EXPECT_DOUBLE_EQ(entropy_bytes(four), 800.0 * 2.0 / 8.0);

    // 3 of one byte and 1 of another: 3·log2(4/3) + 1·log2(4) bits.
    const std::vector<uint8_t> skew = {9, 9, 9, 1};
    EXPECT_DOUBLE_EQ(entropy_bytes(skew), (3.0 * std::log2(4.0 / 3.0) + 2.0) * 0.125);
}

TEST(Pack, FillsEveryField) {
    auto values = noisy_values(300, 70000);
    const auto planes = to_planes(values, 4);
    PackedStream p = pack_ok(values, 5, 3, 1);
    EXPECT_EQ(p.attr, 3);
    EXPECT_EQ(p.kind, 1);
    EXPECT_EQ(p.width, 4);
    EXPECT_EQ(p.count, 300u);
    EXPECT_EQ(p.raw_len, 1200u);
    EXPECT_DOUBLE_EQ(p.entropy, entropy_bytes(planes));
    EXPECT_EQ(ZSTD_getFrameContentSize(p.bytes.data(), p.bytes.size()), 1200u);
    EXPECT_EQ(decompress(p.bytes, 1200), planes);
}

TEST(Pack, EmptyStream) {
    PackedStream p = pack_ok({}, 0, 2, 2);
    EXPECT_EQ(p.width, 1);
    EXPECT_EQ(p.count, 0u);
    EXPECT_EQ(p.raw_len, 0u);
    EXPECT_EQ(p.entropy, 0.0);
    ASSERT_FALSE(p.bytes.empty());  // the frame of empty input still has a header
    EXPECT_EQ(ZSTD_getFrameContentSize(p.bytes.data(), p.bytes.size()), 0u);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(p.bytes.data(), p.bytes.size()), p.bytes.size());

    std::vector<uint8_t> rec;
    put_record_header(rec, p);
    EXPECT_EQ(rec.size(), kStreamRecordBytes);
}

TEST(Pack, RecordHeaderLayout) {
    PackedStream p;
    p.attr = 4;
    p.kind = 1;
    p.width = 2;
    p.count = 0x01020304;
    p.bytes.assign(0x0506, 0);
    std::vector<uint8_t> out = {0xEE};  // appends, keeps what is there
    put_record_header(out, p);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xEE, 4, 1, 2, 0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x00, 0x00}));
}

TEST(Pack, LevelRule) {
    struct Case {
        uint64_t raw_len;
        int32_t level;
        int32_t expect;
    };
    const Case cases[] = {
        {0, 0, 19},        {8388608, 0, 19}, {8388609, 0, 13}, {uint64_t{1} << 40, 0, 13},
        {8388609, 19, 19}, {10, 13, 13},     {10, 3, 3},       {10, -5, -5},
    };
    for (const Case& c : cases)
        EXPECT_EQ(effective_level(c.raw_len, c.level), c.expect) << c.raw_len << " " << c.level;

    // pack itself follows the rule: level 0 on a small stream compresses exactly as level 19.
    const auto values = phrase_values(20000);
    const auto auto_bytes = pack_ok(values, 0).bytes;
    EXPECT_EQ(auto_bytes, pack_ok(values, 19).bytes);
    EXPECT_NE(auto_bytes, pack_ok(values, 13).bytes);
}

// Packs under a pool of exactly `threads` threads.
PackedStream pack_with_threads(int threads, const std::vector<uint32_t>& values, int32_t level) {
    std::optional<Result<PackedStream>> r;
    with_threads(threads, [&] {
        EXPECT_EQ(pool_threads(), static_cast<size_t>(threads));
        r.emplace(pack(RawStream{values, 0, 0}, level));
    });
    EXPECT_TRUE(*r) << (*r ? "" : r->error().render());
    return *r ? std::move(**r) : PackedStream{};
}

class LargeStream : public ::testing::Test {
  protected:
    // Width-1 streams, so the plane bytes equal the value count.
    static std::vector<uint32_t> values_of(size_t n) { return noisy_values(n, 24, n); }
};

TEST_F(LargeStream, UpToFourMiBIsOneShot) {
    const auto values = values_of(kMtThreshold);
    const auto planes = to_planes(values, 1);
    PackedStream p = pack_ok(values, 3);
    EXPECT_EQ(p.raw_len, kMtThreshold);
    EXPECT_EQ(p.bytes, one_shot_reference(planes, 3));
}

TEST_F(LargeStream, AboveFourMiBStreamsAndIgnoresThreadCount) {
    const auto values = values_of(kMtThreshold + 1);
    const auto planes = to_planes(values, 1);
    PackedStream one = pack_with_threads(1, values, 3);
    PackedStream two = pack_with_threads(2, values, 3);
    EXPECT_EQ(one.raw_len, kMtThreshold + 1);
    EXPECT_NE(one.bytes, one_shot_reference(planes, 3));  // the multi-threaded frame layout
    EXPECT_EQ(one.bytes, two.bytes);
    EXPECT_EQ(ZSTD_getFrameContentSize(one.bytes.data(), one.bytes.size()), kMtThreshold + 1);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(one.bytes.data(), one.bytes.size()), one.bytes.size());
    EXPECT_EQ(decompress(one.bytes, planes.size()), planes);
}

// The encoder packs in place, from values it owns, with contexts borrowed from a pool: the result
// must be the stream pack makes, field for field, for every width and for counts that cross the
// blocks in which the width-1 planes are narrowed over the values.
TEST(PackInPlace, SameStreamAsPack) {
    struct Case {
        size_t count;
        uint32_t limit;
    };
    const Case cases[] = {{0, 1},         {1, 200},       {65535, 256},    {65536, 256},
                          {65537, 256},   {200003, 256},  {200003, 24},    {70001, 300},
                          {70001, 65536}, {90001, 70000}, {33, 0xFFFFFFFF}};
    ZstdPool pool;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " values below " << c.limit);
        std::vector<uint32_t> values = noisy_values(c.count, c.limit, c.count);
        const PackedStream want = pack_ok(values, 3, 2, 1);
        auto got = pack_in_place(values, 2, 1, 3, &pool);
        ASSERT_TRUE(got) << got.error().render();
        EXPECT_EQ(got->bytes, want.bytes);
        EXPECT_EQ(got->raw_len, want.raw_len);
        EXPECT_EQ(got->entropy, want.entropy);
        EXPECT_EQ(got->count, want.count);
        EXPECT_EQ(got->width, want.width);
        EXPECT_EQ(got->attr, 2);
        EXPECT_EQ(got->kind, 1);
    }
}

// A multi-threaded context reused from the pool, under a different thread count, still makes
// the frame a fresh context makes.
TEST_F(LargeStream, PooledContextsGiveTheSameFrames) {
    const auto values = values_of(kMtThreshold + 1);
    const PackedStream want = pack_with_threads(1, values, 3);
    ZstdPool pool;
    for (int threads : {2, 1, 2}) {
        with_threads(threads, [&] {
            std::vector<uint32_t> copy = values;
            auto got = pack_in_place(copy, 0, 0, 3, &pool);
            ASSERT_TRUE(got) << got.error().render();
            EXPECT_EQ(got->bytes, want.bytes);
        });
    }
    // One-call contexts, reused at another level, likewise.
    for (int level : {19, 3}) {
        std::vector<uint32_t> small(values.begin(), values.begin() + 100000);
        const PackedStream fresh = pack_ok(small, level);
        auto got = pack_in_place(small, 0, 0, level, &pool);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->bytes, fresh.bytes);
    }
}

}  // namespace
}  // namespace quorvex
