#pragma once
// The four commands. Each runs to completion on the main thread and returns an error value
// instead of printing one; the driver prints "Error: " and the chain and exits with 1.

#include "main/cli.hpp"
#include "support/error.hpp"

namespace quorvex {

// Loads, encodes, writes and (unless --no-verify) verifies; progress and statistics go to
// standard error. A bounds violation found by the verification pass is an error.
Status run_encode(const EncodeCmd& cmd);

// Checks a container against its source frames and prints the per-attribute maxima on
// standard output. Returns the exit status on completion: 0 when the bounds hold, 1 when
// they are violated (the printed lines are the whole report, no error text follows).
Result<int> run_verify(const VerifyCmd& cmd);

// Reconstructs one frame to a .splat file in the container's splat order.
Status run_decode(const DecodeCmd& cmd);

// Prints the header as pretty JSON and a size summary on standard output.
Status run_info(const InfoCmd& cmd);

}  // namespace quorvex
