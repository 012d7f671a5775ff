#include <fmt/core.h>

#include "decode/decoder.hpp"
#include "main/commands.hpp"
#include "main/human.hpp"

namespace quorvex {

Status run_info(const InfoCmd& cmd) {
    QX_TRY(dec, Decoder::open(cmd.file));
    QX_TRY(text, header_to_pretty_json(dec.header));
    fmt::print("{}\n", text);
    const Span& s = dec.header.static_section;
    fmt::print("file {}   header+static {}   {} GOPs\n", human(dec.bytes.size()), human(s.offset + s.len),
               dec.header.gops.size());
    return Ok{};
}

}  // namespace quorvex
