#pragma once
// The command line: the parsed Cli record and the driver that runs one command.

namespace quorvex {

// Parses argv, runs the chosen command, prints errors; returns the process exit status
// (0 success, 1 command failure or bounds violation, 2 usage error).
int run_main(int argc, char** argv);

}  // namespace quorvex
