#include "decode/unpack.hpp"

#include <gtest/gtest.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <string>

#include "streams/stream.hpp"

namespace quorvex {
namespace {

std::vector<uint32_t> noisy_values(size_t n, uint32_t limit) {
    std::vector<uint32_t> v(n);
    uint64_t s = 7;
    for (size_t i = 0; i < n; ++i) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        v[i] = static_cast<uint32_t>((s >> 33) % limit);
    }
    return v;
}

PackedStream pack_ok(std::vector<uint32_t> values) {
    auto r = pack(RawStream{std::move(values), 1, 0}, 3);
    EXPECT_TRUE(r) << (r ? "" : r.error().render());
    return r ? std::move(*r) : PackedStream{};
}

// A record with a header of our choosing in front of any payload.
std::vector<uint8_t> record(uint8_t width, uint32_t count, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out = {0, 0, width};
    put_u32(out, count);
    put_u32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> record(const PackedStream& p) {
    std::vector<uint8_t> out;
    put_record_header(out, p);
    out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    return out;
}

std::vector<uint8_t> compress(std::span<const uint8_t> src, bool record_size) {
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, record_size)));
    std::vector<uint8_t> out(ZSTD_compressBound(src.size()));
    size_t n = ZSTD_compress2(cctx.get(), out.data(), out.size(), src.data(), src.size());
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

// What zstd itself says about a payload decompressed into `capacity` bytes.
std::string zstd_says(std::span<const uint8_t> payload, size_t capacity) {
    std::vector<uint8_t> out(capacity + 1);
    size_t n = ZSTD_decompress(out.data(), capacity, payload.data(), payload.size());
    return ZSTD_isError(n) ? ZSTD_getErrorName(n) : "no error";
}

// Magic, descriptor, window byte, dictionary id and content size of a zstd frame header.
size_t frame_header_size(std::span<const uint8_t> frame) {
    const uint8_t fhd = frame[4];
    const bool single = fhd & 0x20;
    const size_t dict[] = {0, 1, 2, 4};
    const size_t fcs[] = {single ? 1u : 0u, 2, 4, 8};
    return 5 + (single ? 0 : 1) + dict[fhd & 3] + fcs[fhd >> 6];
}

std::string unpack_error(std::span<const uint8_t> buf, size_t start = 0) {
    size_t cursor = start;
    auto r = unpack(buf, cursor);
    EXPECT_EQ(cursor, start) << "cursor moved on failure";
    return r ? "no error" : r.error().render();
}

TEST(Unpack, RoundTripEveryWidthBackToBack) {
    const std::vector<std::vector<uint32_t>> streams = {
        {},           noisy_values(300, 256),         {255, 0, 255},           noisy_values(299, 65536),
        {65535, 256}, noisy_values(301, 0xFFFFFFFFu), {4294967295u, 0, 65536},
    };
    // Records laid one after another behind a few unrelated bytes, as in the static section.
    std::vector<uint8_t> buf = {0xAA, 0xBB, 0xCC};
    std::vector<size_t> ends;
    for (const auto& v : streams) {
        auto rec = record(pack_ok(v));
        buf.insert(buf.end(), rec.begin(), rec.end());
        ends.push_back(buf.size());
    }
    buf.push_back(0xDD);  // trailing byte, not part of any record

    size_t cursor = 3;
    for (size_t s = 0; s < streams.size(); ++s) {
        auto r = unpack(buf, cursor);
        ASSERT_TRUE(r) << r.error().render();
        EXPECT_EQ(*r, streams[s]) << "stream " << s;
        EXPECT_EQ(cursor, ends[s]) << "stream " << s;
    }
    EXPECT_EQ(unpack_error(buf, cursor), "truncated stream header");
}

TEST(Unpack, EmptyStreamRecord) {
    PackedStream p = pack_ok({});
    auto rec = record(p);
    EXPECT_EQ(rec.size(), kStreamRecordBytes + p.bytes.size());
    size_t cursor = 0;
    auto r = unpack(rec, cursor);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(cursor, rec.size());
}

TEST(Unpack, EveryTruncatedPrefixFails) {
    const auto rec = record(pack_ok(noisy_values(200, 1000)));
    for (size_t len = 0; len < rec.size(); ++len) {
        std::span<const uint8_t> prefix(rec.data(), len);
        EXPECT_EQ(unpack_error(prefix),
                  len < kStreamRecordBytes ? "truncated stream header" : "truncated stream payload")
            << "prefix of " << len << " bytes";
    }
    // A cursor at or past the end is a truncated header too, never a read out of bounds.
    EXPECT_EQ(unpack_error(rec, rec.size()), "truncated stream header");
    EXPECT_EQ(unpack_error(rec, rec.size() + 5), "truncated stream header");
}

TEST(Unpack, PayloadLengthPastTheEnd) {
    auto rec = record(pack_ok(noisy_values(50, 256)));
    store_u32(rec.data() + 7, 0xFFFFFFFFu);
    EXPECT_EQ(unpack_error(rec), "truncated stream payload");
}

TEST(Unpack, CorruptPayloadGivesZstdError) {
    const PackedStream p = pack_ok(noisy_values(400, 256));
    const size_t cap = p.raw_len;

    auto bad_magic = p.bytes;
    bad_magic[0] ^= 0xFF;
    auto bad_block = p.bytes;
    // The first block header follows the frame header; type 3 is reserved.
    const size_t fh = frame_header_size(p.bytes);
    bad_block[fh] |= 0x06;
    auto cut = p.bytes;
    cut.resize(cut.size() - 3);  // a frame that ends early

    for (const auto* payload : {&bad_magic, &bad_block, &cut}) {
        const std::string expected = zstd_says(*payload, cap);
        ASSERT_NE(expected, "no error");
        EXPECT_EQ(unpack_error(record(p.width, p.count, *payload)), expected);
    }
}

TEST(Unpack, RejectsWidthsOtherThanOneTwoFour) {
    const auto values = noisy_values(60, 256);
    const auto frame = compress(to_planes(values, 1), true);
    for (uint8_t width : {0, 3, 5, 8, 255}) {
        EXPECT_NE(unpack_error(record(width, 20, frame)).find("invalid stream width"), std::string::npos)
            << int{width};
    }
    // The same 60 plane bytes are fine as 60 values of width 1, 30 of width 2 or 15 of width 4.
    for (uint8_t width : {1, 2, 4}) {
        size_t cursor = 0;
        auto rec = record(width, static_cast<uint32_t>(60 / width), frame);
        auto r = unpack(rec, cursor);
        ASSERT_TRUE(r) << r.error().render();
        EXPECT_EQ(r->size(), 60u / width);
    }
}

TEST(Unpack, FewerBytesThanWidthTimesCountFails) {
    const auto planes = to_planes(noisy_values(100, 256), 1);
    // Refused before decompressing: with the content size recorded from that size, without it
    // from the frame's blocks (incompressible planes are stored as one raw block of 100 bytes).
    for (bool recorded : {true, false}) {
        const std::string holds = recorded ? "holds" : "holds at most";
        auto rec = record(1, 101, compress(planes, recorded));
        EXPECT_EQ(unpack_error(rec), "stream payload " + holds + " 100 bytes, expected 101") << recorded;
        rec = record(2, 100, compress(planes, recorded));
        EXPECT_EQ(unpack_error(rec), "stream payload " + holds + " 100 bytes, expected 200") << recorded;
    }
}

TEST(Unpack, MoreBytesThanWidthTimesCountIsZstdError) {
    const auto planes = to_planes(noisy_values(100, 256), 1);
    const std::string too_small = ZSTD_getErrorString(ZSTD_error_dstSize_tooSmall);
    for (bool recorded : {true, false})
        EXPECT_EQ(unpack_error(record(1, 99, compress(planes, recorded))), too_small) << recorded;

    // A second frame behind one of the right size would also write past the planes.
    auto two = compress(planes, true);
    auto extra = compress(planes, true);
    two.insert(two.end(), extra.begin(), extra.end());
    EXPECT_EQ(unpack_error(record(1, 100, two)), too_small);
}

TEST(Unpack, HugeClaimedCountRejectedBeforeAllocating) {
    const uint32_t count = 0xFFFFFFFFu;  // 16 GiB of width-4 planes

    // A genuine small frame: its recorded size gives it away.
    const auto small = compress(to_planes(noisy_values(10, 256), 1), true);
    EXPECT_EQ(unpack_error(record(4, count, small)), "stream payload holds 10 bytes, expected 17179869180");

    // A frame without a recorded size: too short to expand that far.
    const auto unsized = compress(to_planes(noisy_values(10, 256), 1), false);
    EXPECT_NE(unpack_error(record(4, count, unsized)).find("cannot hold 4294967295 values of width 4"),
              std::string::npos);

    // A hand-made frame header that does claim 16 GiB, followed by an empty last raw block.
    std::vector<uint8_t> liar = {0x28, 0xB5, 0x2F, 0xFD, 0xE0};  // single segment, 8-byte size
    for (int i = 0; i < 8; ++i) liar.push_back(static_cast<uint8_t>((uint64_t{4} * count) >> (8 * i)));
    liar.insert(liar.end(), {0x01, 0x00, 0x00});
    ASSERT_EQ(ZSTD_getFrameContentSize(liar.data(), liar.size()), uint64_t{4} * count);
    EXPECT_NE(unpack_error(record(4, count, liar)).find("cannot hold 4294967295 values of width 4"),
              std::string::npos);
}

TEST(Unpack, PayloadRatioLimit) {
    // The largest count a payload of L bytes may claim is (L + 1) × 2^16 plane bytes; all-zero
    // planes squeeze far below that, so real frames stay clear of the limit.
    const std::vector<uint8_t> zeros(3u << 20, 0);
    const auto frame = compress(zeros, false);
    ASSERT_LT(frame.size(), 1000u);
    size_t cursor = 0;
    auto rec = record(1, static_cast<uint32_t>(zeros.size()), frame);
    auto r = unpack(rec, cursor);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(r->size(), zeros.size());

    // Claims past the limit are refused by the payload's length alone; a claim right at it
    // passes that test but not the blocks', which cannot regenerate that much either.
    const auto unsized = compress(to_planes(noisy_values(40, 256), 1), false);
    const uint64_t limit = (unsized.size() + 1) * kMaxPayloadRatio;
    EXPECT_NE(unpack_error(record(1, static_cast<uint32_t>(limit + 1), unsized)).find("cannot hold"),
              std::string::npos);
    EXPECT_EQ(unpack_error(record(1, static_cast<uint32_t>(limit), unsized)),
              fmt::format("stream payload holds at most 40 bytes, expected {}", limit));
}

// A frame header may declare any content size; the blocks behind it decide how much the frame
// can really produce, and a claim beyond that is refused before the planes are allocated.
TEST(Unpack, BlocksBoundTheClaimWhateverTheHeaderDeclares) {
    const uint32_t count = 64u << 20;                            // 64 MiB of width-1 planes
    std::vector<uint8_t> liar = {0x28, 0xB5, 0x2F, 0xFD, 0xE0};  // single segment, 8-byte size
    for (int i = 0; i < 8; ++i) liar.push_back(static_cast<uint8_t>(uint64_t{count} >> (8 * i)));
    // 300 RLE blocks of one byte each: long enough for the length-ratio test to let it through.
    for (int b = 0; b < 300; ++b)
        liar.insert(liar.end(), {static_cast<uint8_t>(b == 299 ? 0x0B : 0x0A), 0, 0, 7});
    ASSERT_EQ(ZSTD_getFrameContentSize(liar.data(), liar.size()), uint64_t{count});
    ASSERT_EQ(ZSTD_findFrameCompressedSize(liar.data(), liar.size()), liar.size());
    ASSERT_GE((liar.size() + 1) * kMaxPayloadRatio, uint64_t{count});
    EXPECT_EQ(unpack_error(record(1, count, liar)),
              "stream payload holds at most 300 bytes, expected 67108864");

    // Frames back to back decompress one after the other, so their blocks count together.
    const auto values = noisy_values(100, 256);
    const auto planes = to_planes(values, 1);
    auto two = compress(std::span(planes).first(50), false);
    const auto rest = compress(std::span(planes).subspan(50), false);
    two.insert(two.end(), rest.begin(), rest.end());
    size_t cursor = 0;
    const auto rec = record(1, 100, two);
    auto r = unpack(rec, cursor);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(*r, values);
}

TEST(RecordHeader, ReadsLittleEndianFieldsOrNothing) {
    const std::vector<uint8_t> bytes = {9, 3, 1, 2, 4, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    ByteReader short_reader{std::span(bytes).subspan(0, 12), 2};
    EXPECT_FALSE(read_record_header(short_reader));
    EXPECT_EQ(short_reader.pos, 2u);

    ByteReader r{bytes, 2};
    auto h = read_record_header(r);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->attr, 1);
    EXPECT_EQ(h->kind, 2);
    EXPECT_EQ(h->width, 4);
    EXPECT_EQ(h->count, 0x04030201u);
    EXPECT_EQ(h->len, 0x08070605u);
    EXPECT_EQ(r.pos, 13u);
}

}  // namespace
}  // namespace quorvex
