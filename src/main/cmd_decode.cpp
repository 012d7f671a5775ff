#include "main/commands.hpp"

namespace quorvex {

Status run_decode(const DecodeCmd&) { return Error::msg("decode: not implemented yet"); }

}  // namespace quorvex
