#include "main/commands.hpp"

namespace quorvex {

Status run_info(const InfoCmd&) { return Error::msg("info: not implemented yet"); }

}  // namespace quorvex
