#pragma once
// The command line: the parsed Cli record, option checks for encode, and the driver that
// runs one command.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <variant>

#include "encode/header.hpp"
#include "support/error.hpp"

namespace quorvex {

struct EncodeCmd {
    std::filesystem::path input;   // directory of .splat frames
    std::filesystem::path output;  // container to write
    double pos_mm = 2;             // position bound, millimetres
    int32_t color_levels = 4;      // colour and opacity bound, 8-bit levels
    int32_t rot_steps = 0;         // quaternion-component bound, units of 1/128
    double scale_pct = 2;          // relative scale bound, percent
    uint64_t gop = 30;             // frames per GOP
    int32_t zstd_level = 3;        // 0 = automatic level
    bool denoise_colors = false;
    bool no_verify = false;
    std::optional<float> fps;  // used only when the directory has no frames.json
    std::optional<std::filesystem::path> report;
    std::optional<std::filesystem::path> perm_out;
};

struct VerifyCmd {
    std::filesystem::path file;   // container
    std::filesystem::path input;  // source frame directory
    std::optional<float> fps;
};

struct DecodeCmd {
    std::filesystem::path file;
    uint64_t frame = 0;
    std::filesystem::path output;
};

struct InfoCmd {
    std::filesystem::path file;
};

using Cmd = std::variant<EncodeCmd, VerifyCmd, DecodeCmd, InfoCmd>;

struct Cli {
    Cmd cmd;
};

// Parses argv into a Cli without running anything. On a usage error, a help request or no
// arguments at all, the parser's text has already been written to `out` (help on request)
// or `err` (usage errors, and the help when there are no arguments), and the result is the
// exit status: 0 after --help, 2 for every usage error.
std::variant<Cli, int> parse_cli(int argc, char** argv);
std::variant<Cli, int> parse_cli(int argc, char** argv, std::ostream& out, std::ostream& err);

// The error bounds the encode options ask for: millimetres to metres, percent to a fraction,
// one level bound for colour and opacity.
Bounds bounds_from(const EncodeCmd& cmd);

// Refuses encode options that cannot produce a readable, verifiable container: a zero gop,
// non-positive or non-finite float bounds or fps, negative or oversized integer bounds, and
// zstd levels outside the library's range (0 is allowed and means automatic). The error
// names the option and the value given.
Status validate_encode_options(const EncodeCmd& cmd);

// Parses argv, runs the chosen command, prints errors; returns the process exit status
// (0 success, 1 command failure or bounds violation, 2 usage error).
int run_main(int argc, char** argv);

}  // namespace quorvex
