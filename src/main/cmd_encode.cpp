#include "main/commands.hpp"

namespace quorvex {

Status run_encode(const EncodeCmd& cmd) {
    // Refuse unusable options before any work is done.
    QX_CHECK(validate_encode_options(cmd));
    return Error::msg("encode: not implemented yet");
}

}  // namespace quorvex
