// The stream record reader on arbitrary bytes. Input layout: byte 0 is the read position
// (modulo the buffer length) and everything after it is the buffer given to unpack. The same
// buffer also goes to unpack_payload with a width and a count taken from its first bytes, and
// to from_planes with every width the format knows.

#include <cstdint>
#include <span>
#include <vector>

#include "decode/unpack.hpp"
#include "fuzz_assert.hpp"
#include "streams/stream.hpp"
#include "support/bytes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvex;
    if (size == 0) return 0;
    const std::vector<uint8_t> buf(data + 1, data + size);
    const size_t start = buf.empty() ? 0 : data[0] % buf.size();

    size_t cursor = start;
    auto values = unpack(buf, cursor);
    if (values) {
        QX_FUZZ_ASSERT(cursor > start && cursor <= buf.size(), "the cursor moves past the record");
        const uint32_t count = load_u32(buf.data() + start + 3);
        QX_FUZZ_ASSERT(values->size() == count, "a record yields its count of values");
    } else {
        QX_FUZZ_ASSERT(cursor == start, "a failed read leaves the cursor");
    }

    if (buf.size() >= 5) {
        const uint8_t width = buf[0];
        const uint32_t count = load_u32(buf.data() + 1);
        const std::span<const uint8_t> payload = std::span<const uint8_t>(buf).subspan(5);
        auto v = unpack_payload(payload, width, count);
        if (v) QX_FUZZ_ASSERT(v->size() == count, "a payload yields its count of values");
    }

    for (uint8_t width : {uint8_t{1}, uint8_t{2}, uint8_t{4}}) {
        const size_t count = buf.size() / width;
        const std::span<const uint8_t> planes = std::span<const uint8_t>(buf).first(count * width);
        const std::vector<uint32_t> v = from_planes(planes, width, count);
        QX_FUZZ_ASSERT(v.size() == count, "from_planes yields count values");
        // Byte planes of these values at this width are the input again.
        const std::vector<uint8_t> back = to_planes(v, width);
        QX_FUZZ_ASSERT(std::equal(back.begin(), back.end(), planes.begin(), planes.end()),
                       "to_planes inverts from_planes");
    }
    return 0;
}
