#include <fmt/core.h>

#include "decode/decoder.hpp"
#include "main/commands.hpp"
#include "model/splat.hpp"
#include "support/file_io.hpp"

namespace quorvex {

Status run_decode(const DecodeCmd& cmd) {
    QX_TRY(dec, Decoder::open(cmd.file));
    QX_TRY(bytes, reconstruct_frame(dec, cmd.frame));
    QX_CHECK(write_file(cmd.output, bytes));
    fmt::print("wrote {} ({} splats) for frame {}\n", cmd.output.string(), bytes.size() / kSplatBytes, cmd.frame);
    return Ok{};
}

}  // namespace quorvex
