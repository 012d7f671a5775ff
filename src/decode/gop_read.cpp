#include <limits>

#include "decode/decoder.hpp"
#include "decode/unpack.hpp"
#include "encode/container.hpp"
#include "encode/quant.hpp"
#include "streams/stream.hpp"
#include "support/bytes.hpp"

namespace quorvex {

Result<std::vector<GopStream>> Decoder::gop_streams(uint64_t g) const {
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
        return std::vector<GopStream>{};
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
    std::vector<GopStream> out(*count);
    for (size_t i = 0; i < heads.size(); ++i) {
        auto payload = r.take(heads[i].len);
        if (!payload) return Error::make("gop {} length mismatch", g);
        QX_TRY(values, unpack_payload(*payload, heads[i].width, heads[i].count));
        out[i] = GopStream{heads[i].attr, heads[i].kind, std::move(values)};
    }
    if (r.remaining() != 0) return Error::make("gop {} length mismatch", g);
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

Status check_stream_length(const GopStream& s, uint64_t rows, uint64_t d, size_t m, uint64_t g) {
    const char* what = s.kind == 0 ? "key" : "delta";
    const uint64_t per_row = d * m;  // d ≤ n, which the static masks bound by the file size
    if (rows != 0 && per_row > std::numeric_limits<uint64_t>::max() / rows)
        return Error::make("gop {} {} stream of attribute {} has a wrong length", g, what,
                           kAttrNames[s.attr]);
    const uint64_t want = per_row * rows;
    if (s.values.size() != want)
        return Error::make("gop {} {} stream of attribute {} holds {} values, expected {}", g, what,
                           kAttrNames[s.attr], s.values.size(), want);
    return Ok{};
}

}  // namespace quorvex
