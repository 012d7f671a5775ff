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

const GopStream* find_stream(const std::vector<GopStream>& streams, uint8_t attr, uint8_t kind) {
    for (const GopStream& s : streams)
        if (s.attr == attr && s.kind == kind) return &s;
    return nullptr;
}

void apply_key(std::span<int32_t> state, const GopStream& key) {
    const size_t k_end = std::min(key.values.size(), state.size());
    for (size_t k = 0; k < k_end; ++k) state[k] = unzigzag(key.values[k]);
}

void apply_delta(std::span<int32_t> state, const GopStream& delta, uint64_t row) {
    const uint32_t* v = delta.values.data() + row * state.size();
    for (size_t k = 0; k < state.size(); ++k)
        state[k] =
            static_cast<int32_t>(static_cast<uint32_t>(state[k]) + static_cast<uint32_t>(unzigzag(v[k])));
}

namespace {

// Calls f(k, v) for values first … first + len − 1 of a stream in byte planes, v being value
// first + k; the width is resolved once, outside the loop.
template <class F>
void for_values(const GopPlanes& s, size_t first, size_t len, const F& f) {
    const uint8_t* p = s.bytes + first;
    const size_t c = s.count;
    switch (s.width) {
        case 1:
            for (size_t k = 0; k < len; ++k) f(k, uint32_t{p[k]});
            break;
        case 2:
            for (size_t k = 0; k < len; ++k) f(k, uint32_t{p[k]} | uint32_t{p[c + k]} << 8);
            break;
        default:
            for (size_t k = 0; k < len; ++k)
                f(k, uint32_t{p[k]} | uint32_t{p[c + k]} << 8 | uint32_t{p[2 * c + k]} << 16 |
                         uint32_t{p[3 * c + k]} << 24);
            break;
    }
}

}  // namespace

void apply_key(std::span<int32_t> state, const GopPlanes& key) {
    for_values(key, 0, std::min<size_t>(key.count, state.size()),
               [&](size_t k, uint32_t v) { state[k] = unzigzag(v); });
}

void apply_delta(std::span<int32_t> state, const GopPlanes& delta, uint64_t row) {
    for_values(delta, static_cast<size_t>(row) * state.size(), state.size(), [&](size_t k, uint32_t v) {
        state[k] = static_cast<int32_t>(static_cast<uint32_t>(state[k]) + static_cast<uint32_t>(unzigzag(v)));
    });
}

const GopPlanes* find_stream(const std::vector<GopPlanes>& streams, uint8_t attr, uint8_t kind) {
    for (const GopPlanes& s : streams)
        if (s.attr == attr && s.kind == kind) return &s;
    return nullptr;
}

namespace {

Status check_length(uint8_t attr, uint8_t kind, uint64_t size, uint64_t rows, uint64_t d, size_t m,
                    uint64_t g) {
    const char* what = kind == 0 ? "key" : "delta";
    const uint64_t per_row = d * m;  // d ≤ n, which the static masks bound by the file size
    if (rows != 0 && per_row > std::numeric_limits<uint64_t>::max() / rows)
        return Error::make("gop {} {} stream of attribute {} has a wrong length", g, what, kAttrNames[attr]);
    const uint64_t want = per_row * rows;
    if (size != want)
        return Error::make("gop {} {} stream of attribute {} holds {} values, expected {}", g, what,
                           kAttrNames[attr], size, want);
    return Ok{};
}

}  // namespace

Status check_stream_length(const GopStream& s, uint64_t rows, uint64_t d, size_t m, uint64_t g) {
    return check_length(s.attr, s.kind, s.values.size(), rows, d, m, g);
}

Status check_stream_length(const GopPlanes& s, uint64_t rows, uint64_t d, size_t m, uint64_t g) {
    return check_length(s.attr, s.kind, s.count, rows, d, m, g);
}

}  // namespace quorvex
