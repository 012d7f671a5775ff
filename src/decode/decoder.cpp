#include "decode/decoder.hpp"

#include <algorithm>

#include "decode/unpack.hpp"
#include "encode/container.hpp"
#include "encode/quant.hpp"
#include "support/bytes.hpp"
#include "support/file_io.hpp"

namespace quorvex {

std::vector<uint8_t> unbitmap(std::span<const uint32_t> values, uint64_t n) {
    std::vector<uint8_t> flags(n);
    for (uint64_t i = 0; i < n; ++i) flags[i] = static_cast<uint8_t>((values[i / 8] >> (7 - i % 8)) & 1u);
    return flags;
}

std::vector<int32_t> un_spatial_delta(std::span<const uint32_t> values) {
    std::vector<int32_t> out(values.size());
    uint32_t s[3] = {0, 0, 0};
    for (size_t i = 0; i + 3 <= values.size(); i += 3) {
        for (size_t c = 0; c < 3; ++c) {
            s[c] += static_cast<uint32_t>(unzigzag(values[i + c]));  // wrapping
            out[i + c] = static_cast<int32_t>(s[c]);
        }
    }
    return out;
}

namespace {

// Values needed for n splats with c entries each: rejects a stream too short to index.
Status need_values(size_t have, uint64_t n, uint64_t per_splat, const char* name) {
    if (have / per_splat < n)
        return Error::make("static stream {} holds {} values, fewer than the {} splats need", name, have, n);
    return Ok{};
}

Result<StaticState> read_static(std::span<const uint8_t> bytes, const Header& h) {
    StaticState st;
    size_t cursor = static_cast<size_t>(h.static_section.offset);
    if (h.static_section.offset > bytes.size()) return Error::msg("truncated stream header");
    static constexpr const char* kMaskNames[kAttrCount] = {"mask_pos", "mask_rot", "mask_rgb",
                                                           "mask_alpha", "mask_scale"};
    const uint64_t n = h.n;
    const uint64_t mask_values = n / 8 + (n % 8 != 0);
    for (size_t a = 0; a < kAttrCount; ++a) {
        QX_TRY(v, unpack(bytes, cursor));
        if (v.size() < mask_values)
            return Error::make("static stream {} holds {} values, fewer than the {} splats need",
                               kMaskNames[a], v.size(), n);
        st.masks[a] = unbitmap(v, n);
    }
    {
        QX_TRY(v, unpack(bytes, cursor));
        QX_CHECK(need_values(v.size(), n, 3, "base_pos"));
        st.base_pos = un_spatial_delta(v);
    }
    {
        QX_TRY(v, unpack(bytes, cursor));
        QX_CHECK(need_values(v.size(), n, 3, "base_scale"));
        st.base_scale = un_spatial_delta(v);
    }
    {
        QX_TRY(v, unpack(bytes, cursor));
        QX_CHECK(need_values(v.size(), n, 3, "base_rgb"));
        st.base_rgb.resize(v.size());
        std::transform(v.begin(), v.end(), st.base_rgb.begin(), [](uint32_t x) { return static_cast<uint8_t>(x); });
    }
    {
        QX_TRY(v, unpack(bytes, cursor));
        QX_CHECK(need_values(v.size(), n, 1, "base_alpha"));
        st.base_alpha.resize(v.size());
        std::transform(v.begin(), v.end(), st.base_alpha.begin(),
                       [](uint32_t x) { return static_cast<uint8_t>(x); });
    }
    {
        QX_TRY(v, unpack(bytes, cursor));
        QX_CHECK(need_values(v.size(), n, 4, "base_rot"));
        st.base_rot.resize(v.size());
        // Stored as component + 128; the low 16 bits of value − 128 read as signed.
        std::transform(v.begin(), v.end(), st.base_rot.begin(),
                       [](uint32_t x) { return static_cast<int16_t>(static_cast<uint16_t>(x - 128u)); });
    }
    if (h.static_section.offset + h.static_section.len < h.static_section.offset ||
        cursor != h.static_section.offset + h.static_section.len)
        return Error::msg("static section length mismatch");
    return st;
}

// The sections must tile the file: the writer never leaves bytes after the last GOP section,
// and a file cut short is caught here rather than when its last GOP is read.
Status check_file_end(const Header& h, size_t size) {
    uint64_t end = h.static_section.offset + h.static_section.len;
    if (!h.gops.empty()) {
        const GopSpan& last = h.gops.back();
        end = last.offset + last.len;
        if (end < last.offset) return Error::make("gop {} section runs past the end of the file", h.gops.size() - 1);
    }
    if (end > size) return Error::make("file truncated: sections end at byte {}, file has {} bytes", end, size);
    if (end < size) return Error::make("{} unexpected bytes after the last section", size - end);
    return Ok{};
}

}  // namespace

Result<Decoder> Decoder::from_bytes(std::vector<uint8_t> bytes) {
    if (bytes.size() < kPreambleBytes || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin()))
        return Error::msg("not a .quorvex file (bad magic)");
    const uint16_t version = load_u16(bytes.data() + 4);
    if (version != kFormatVersion) return Error::make("unsupported version {}", version);
    const uint32_t header_len = load_u32(bytes.data() + 8);
    if (header_len > bytes.size() - kPreambleBytes)
        return Error::make("header length {} runs past the end of the file ({} bytes)", header_len, bytes.size());
    std::string_view text(reinterpret_cast<const char*>(bytes.data() + kPreambleBytes), header_len);
    QX_TRY(header, parse_header(text));
    QX_TRY(st, read_static(bytes, header));
    QX_CHECK(check_file_end(header, bytes.size()));
    Decoder d;
    d.header = std::move(header);
    d.bytes = std::move(bytes);
    d.static_state = std::move(st);
    return d;
}

Result<Decoder> Decoder::open(const std::filesystem::path& path) {
    QX_TRY_CTX(bytes, read_file(path), "{}", path.string());
    return from_bytes(std::move(bytes));
}

}  // namespace quorvex
