#pragma once
// Editing a finished container for tests and fuzz seeds: no gtest here, so the seed generator
// can use it too.

#include <cstdint>
#include <string>
#include <vector>

#include "encode/container.hpp"
#include "encode/header.hpp"
#include "support/bytes.hpp"

namespace quorvex::test {

// The container c with its header replaced by h. Section offsets shift with the header's
// length, so the sections stay where the new header says they are; h's offsets are taken as
// they would be under the old header.
inline std::vector<uint8_t> with_header(const std::vector<uint8_t>& c, Header h) {
    const uint64_t old_len = load_u32(c.data() + 8);
    const Header base = h;
    std::string text;
    uint64_t len = old_len;
    for (int round = 0; round < 8; ++round) {
        h.static_section.offset = base.static_section.offset + len - old_len;
        for (size_t g = 0; g < h.gops.size(); ++g) h.gops[g].offset = base.gops[g].offset + len - old_len;
        text = *header_to_json(h);  // a Header always serialises; only writer misuse fails
        if (text.size() == len) break;
        len = text.size();
    }
    std::vector<uint8_t> out(c.begin(), c.begin() + 8);
    put_u32(out, static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), c.begin() + static_cast<std::ptrdiff_t>(kPreambleBytes + old_len), c.end());
    return out;
}

}  // namespace quorvex::test
