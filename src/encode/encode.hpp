#pragma once
// The encoder's entry point: front end, hold coding, streams, packing and container assembly.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "encode/front_end.hpp"
#include "encode/header.hpp"
#include "model/frames.hpp"
#include "streams/stream.hpp"
#include "support/error.hpp"

namespace quorvex {

// One GOP stream waiting to be packed.
struct Job {
    std::string name;  // "g{gop}.{attr}.key" or "g{gop}.{attr}.delta"
    RawStream stream;
    uint64_t gop = 0;
};

// Statistics of one packed stream.
struct StreamInfo {
    std::string name;
    uint64_t raw = 0;     // bytes of the byte planes (count × width)
    uint64_t packed = 0;  // payload + the 11-byte record header
    double entropy_min = 0.0;
};

struct Encoded {
    std::vector<uint8_t> bytes;       // the complete container
    std::vector<StreamInfo> streams;  // static streams in catalogue order, then jobs in job order
    uint64_t input_bytes = 0;         // t × n × 32
    uint64_t output_bytes = 0;
    std::array<double, 5> static_frac{};  // pos, rot, rgb, alpha, scale
    Header header;
    FrontEnd front;
};

// Encodes `frames` (reordered in place into file order) at `bounds`. Fails on a zero gop,
// on a zstd error, or when the header's length never settles.
Result<Encoded> encode(Frames& frames, const Bounds& bounds, uint64_t gop, int32_t zstd_level,
                       bool denoised);

}  // namespace quorvex
