#pragma once
// Reading stream records back: the 11-byte record header, and a payload decompressed and
// rebuilt from its byte planes. Every input here is untrusted file content.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "support/bytes.hpp"
#include "support/error.hpp"

namespace quorvex {

// A payload may claim at most this many decompressed bytes per payload byte, plus the same
// number once more, before anything is allocated. A zstd block yields at most 128 KiB and costs
// at least 4 bytes (3-byte block header and one RLE byte), so no real frame comes near 2^16:1.
inline constexpr uint64_t kMaxPayloadRatio = uint64_t{1} << 16;

struct RecordHeader {
    uint8_t attr = 0;
    uint8_t kind = 0;
    uint8_t width = 0;
    uint32_t count = 0;  // number of values
    uint32_t len = 0;    // payload length in bytes
};

// Reads the 11 header bytes of a stream record at r.pos and advances past them; returns
// nullopt, with r.pos unchanged, when fewer than 11 bytes remain. Nothing is validated.
std::optional<RecordHeader> read_record_header(ByteReader& r);

// Decompresses one payload (a zstd frame of width × count plane bytes, as pack writes it) with a
// fresh decompression context and rebuilds its count values. Fails on a width other than 1, 2
// or 4, on zstd's errors (a corrupt frame, more output than width × count bytes), on a frame
// that declares or yields fewer bytes than width × count, and on a count too large for the
// payload to hold, which is rejected before allocating: beyond kMaxPayloadRatio of its
// length, or beyond what its blocks can regenerate (raw and RLE blocks state their size, a
// compressed block yields at most 128 KiB), whatever content size the frame header declares.
Result<std::vector<uint32_t>> unpack_payload(std::span<const uint8_t> payload, uint8_t width, uint32_t count);
// The same checks and decompression, leaving the width × count bytes in their planes.
Result<std::unique_ptr<uint8_t[]>> unpack_planes(std::span<const uint8_t> payload, uint8_t width,
                                                 uint32_t count);
// unpack_planes in two steps: every check that can be made before the output is allocated, then
// the decompression into out (width × count bytes) with the checks of the result.
Status check_payload(std::span<const uint8_t> payload, uint8_t width, uint32_t count);
Status decompress_planes(std::span<const uint8_t> payload, uint8_t width, uint32_t count, uint8_t* out);

// Reads one whole record (header directly followed by its payload) at buf[cursor] and returns
// its values; on success cursor moves past the record (cursor + 11 + L). Fails with
// "truncated stream header", "truncated stream payload" or an error of unpack_payload, and
// then leaves cursor unchanged. attr and kind are not examined.
Result<std::vector<uint32_t>> unpack(std::span<const uint8_t> buf, size_t& cursor);

}  // namespace quorvex
