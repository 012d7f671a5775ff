#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <limits>
#include <optional>

#include "decode/decoder.hpp"
#include "decode/unpack.hpp"
#include "encode/container.hpp"
#include "encode/quant.hpp"
#include "streams/stream.hpp"
#include "support/big_alloc.hpp"
#include "support/bytes.hpp"

namespace quorvex {

Status Decoder::gop_planes(uint64_t g, GopPlaneSet& set) const {
    set.streams.clear();
    if (g >= header.gops.size()) return Error::make("gop {} out of range 0..{}", g, header.gops.size());
    const GopSpan& span = header.gops[g];
    if (span.offset > bytes.size() || span.len > bytes.size() - span.offset)
        return Error::make("gop {} section runs past the end of the file", g);
    // Every read stays inside the section; running out of it is a length mismatch.
    ByteReader r{std::span<const uint8_t>(bytes).subspan(span.offset, span.len), 0};
    auto count = r.u16();
    if (!count) return Error::make("gop {} length mismatch", g);
    if (*count == 0) {
        if (span.len != kGopCountBytes) return Error::make("gop {} length mismatch", g);
        return Ok{};
    }
    // The record table must fit in the section before anything is sized by the count.
    if (uint64_t{*count} * kStreamRecordBytes > r.remaining())
        return Error::make("gop {} length mismatch", g);
    std::vector<RecordHeader> heads(*count);
    for (auto& h : heads) {
        auto rh = read_record_header(r);
        if (!rh) return Error::make("gop {} length mismatch", g);
        h = *rh;
    }
    // A reader going through the streams in order meets, for each, a payload running out of the
    // section, a record whose claims fail before decompression, or a failed decompression;
    // that first error is the one reported. Everything up to the first failure found before
    // decompression is decompressed (in parallel) to see whether it fails earlier.
    std::vector<std::span<const uint8_t>> payloads;
    payloads.reserve(heads.size());
    std::optional<Error> early;
    for (const RecordHeader& h : heads) {
        auto payload = r.take(h.len);
        if (!payload) {
            early = Error::make("gop {} length mismatch", g);
            break;
        }
        if (Status ok = check_payload(*payload, h.width, h.count); !ok) {
            early = std::move(ok).error();
            break;
        }
        payloads.push_back(*payload);
    }
    if (!early && r.remaining() != 0) early = Error::make("gop {} length mismatch", g);

    std::vector<size_t> offsets(payloads.size() + 1, 0);
    for (size_t i = 0; i < payloads.size(); ++i)
        offsets[i + 1] = offsets[i] + size_t{heads[i].width} * heads[i].count;
    if (set.capacity < offsets.back()) {
        set.buffer.reset();
        set.buffer = alloc_uninit<uint8_t>(offsets.back());
        set.capacity = offsets.back();
    }
    std::vector<std::optional<Error>> errors(payloads.size());
    tbb::parallel_for(tbb::blocked_range<size_t>(0, payloads.size(), 1),
                      [&](const tbb::blocked_range<size_t>& rg) {
                          for (size_t i = rg.begin(); i < rg.end(); ++i) {
                              Status ok = decompress_planes(payloads[i], heads[i].width, heads[i].count,
                                                            set.buffer.get() + offsets[i]);
                              if (!ok) errors[i] = std::move(ok).error();
                          }
                      });
    for (auto& e : errors)
        if (e) return std::move(*e);
    if (early) return std::move(*early);
    set.streams.resize(heads.size());
    for (size_t i = 0; i < heads.size(); ++i)
        set.streams[i] = GopPlanes{heads[i].attr, heads[i].kind, heads[i].width, heads[i].count,
                                   set.buffer.get() + offsets[i]};
    return Ok{};
}

Result<std::vector<GopStream>> Decoder::gop_streams(uint64_t g) const {
    GopPlaneSet set;
    QX_CHECK(gop_planes(g, set));
    std::vector<GopStream> out(set.streams.size());
    for (size_t i = 0; i < set.streams.size(); ++i) {
        const GopPlanes& p = set.streams[i];
        out[i] = GopStream{
            p.attr, p.kind,
            from_planes(std::span<const uint8_t>(p.bytes, size_t{p.width} * p.count), p.width, p.count)};
    }
    return out;
}

namespace {

// Value i of a stream of `count` values in byte planes of width W.
template <uint8_t W>
inline uint32_t plane_value(const uint8_t* p, size_t count, size_t i) {
    uint32_t v = p[i];
    if constexpr (W >= 2) v |= uint32_t{p[count + i]} << 8;
    if constexpr (W == 4) v |= uint32_t{p[2 * count + i]} << 16 | uint32_t{p[3 * count + i]} << 24;
    return v;
}

template <uint8_t W>
void apply_range(const GopPlanes& s, bool key, uint64_t row, size_t row_len, size_t e0, size_t e1,
                 int32_t* state) {
    const size_t base = key ? 0 : static_cast<size_t>(row) * row_len;
    for (size_t e = e0; e < e1; ++e) {
        const int32_t v = unzigzag(plane_value<W>(s.bytes, s.count, base + e));
        state[e] = key ? v : static_cast<int32_t>(static_cast<uint32_t>(state[e]) + static_cast<uint32_t>(v));
    }
}

}  // namespace

void apply_range(const GopPlanes& s, bool key, uint64_t row, size_t row_len, size_t e0, size_t e1,
                 int32_t* state) {
    // The width is resolved once, outside the loop.
    switch (s.width) {
        case 1:
            return apply_range<1>(s, key, row, row_len, e0, e1, state);
        case 2:
            return apply_range<2>(s, key, row, row_len, e0, e1, state);
        default:
            return apply_range<4>(s, key, row, row_len, e0, e1, state);
    }
}

void apply_key(std::span<int32_t> state, const GopPlanes& key) {
    apply_range(key, true, 0, state.size(), 0, std::min<size_t>(key.count, state.size()), state.data());
}

void apply_delta(std::span<int32_t> state, const GopPlanes& delta, uint64_t row) {
    apply_range(delta, false, row, state.size(), 0, state.size(), state.data());
}

Status check_stream_length(const GopPlanes& s, uint64_t rows, uint64_t d, size_t m, uint64_t g) {
    const char* what = s.kind == 0 ? "key" : "delta";
    const uint64_t per_row = d * m;  // d ≤ n, which the static masks bound by the file size
    if (rows != 0 && per_row > std::numeric_limits<uint64_t>::max() / rows)
        return Error::make("gop {} {} stream of attribute {} has a wrong length", g, what, kAttrNames[s.attr]);
    const uint64_t want = per_row * rows;
    if (s.count != want)
        return Error::make("gop {} {} stream of attribute {} holds {} values, expected {}", g, what,
                           kAttrNames[s.attr], s.count, want);
    return Ok{};
}

}  // namespace quorvex
