// The two JSON documents the codec reads, on arbitrary text: the container header and the
// frames.json manifest. A header that parses must also survive writing and reading back
// unchanged, compact and pretty.

#include <cstdint>
#include <string_view>

#include "encode/header.hpp"
#include "fuzz_assert.hpp"
#include "model/manifest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvex;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    (void)parse_manifest(text);

    auto h = parse_header(text);
    if (!h) return 0;
    // Every float read from text is finite, so the header writes without nulls and reads back
    // to the same values.
    auto compact = header_to_json(*h);
    QX_FUZZ_ASSERT(compact, "a parsed header can be written");
    auto again = parse_header(*compact);
    QX_FUZZ_ASSERT(again, "a written header parses");
    QX_FUZZ_ASSERT(*again == *h, "a header survives writing and reading back");
    auto pretty = header_to_pretty_json(*h);
    QX_FUZZ_ASSERT(pretty, "a parsed header can be written pretty");
    auto from_pretty = parse_header(*pretty);
    QX_FUZZ_ASSERT(from_pretty && *from_pretty == *h, "the pretty header reads back the same");
    return 0;
}
