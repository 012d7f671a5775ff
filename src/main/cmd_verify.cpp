#include "main/commands.hpp"

namespace quorvex {

Result<int> run_verify(const VerifyCmd&) { return Error::msg("verify: not implemented yet"); }

}  // namespace quorvex
