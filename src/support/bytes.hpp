#pragma once
// Little-endian integer access and a bounds-checked reader for untrusted buffers.

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace quorvex {

inline void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) out.push_back(static_cast<uint8_t>(v >> s));
}
inline void put_f32(std::vector<uint8_t>& out, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    put_u32(out, v);
}
inline void store_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void store_f32(uint8_t* p, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    store_u32(p, v);
}

inline uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline float load_f32(const uint8_t* p) {
    uint32_t v = load_u32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

// Reads little-endian values from a span; every read checks the remaining length and
// yields nullopt instead of reading past the end.
struct ByteReader {
    std::span<const uint8_t> data;
    size_t pos = 0;

    size_t remaining() const { return pos <= data.size() ? data.size() - pos : 0; }
    bool has(size_t len) const { return remaining() >= len; }

    std::optional<uint8_t> u8() {
        if (!has(1)) return std::nullopt;
        return data[pos++];
    }
    std::optional<uint16_t> u16() {
        if (!has(2)) return std::nullopt;
        uint16_t v = load_u16(data.data() + pos);
        pos += 2;
        return v;
    }
    std::optional<uint32_t> u32() {
        if (!has(4)) return std::nullopt;
        uint32_t v = load_u32(data.data() + pos);
        pos += 4;
        return v;
    }
    std::optional<std::span<const uint8_t>> take(size_t len) {
        if (!has(len)) return std::nullopt;
        auto s = data.subspan(pos, len);
        pos += len;
        return s;
    }
};

}  // namespace quorvex
