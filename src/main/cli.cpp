#include "main/cli.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ostream.h>
#include <zstd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include "main/commands.hpp"
#include "support/float_text.hpp"

namespace quorvex {

namespace {

// Numbers are read as text by the parser and converted here, exactly into the field's own
// width: decimal only (CLI11's own conversion would take "010" as octal and "0x10" as hex),
// no wrap-around of "-1" into an unsigned field, and a 32-bit float parsed from its text
// directly rather than rounded twice through a wider type. One leading '+' is accepted.
template <class T>
std::optional<T> parse_number(std::string_view text, std::errc* why = nullptr) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+')
        text.remove_prefix(1);
    T value{};
    std::from_chars_result r;
    if constexpr (std::is_floating_point_v<T>) {
        r = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    } else {
        r = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    }
    if (r.ec == std::errc{} && r.ptr == text.data() + text.size() && !text.empty()) return value;
    if (why) *why = r.ec == std::errc{} ? std::errc::invalid_argument : r.ec;
    return std::nullopt;
}

template <class T>
std::string type_words() {
    if constexpr (std::is_same_v<T, double>) return "a 64-bit floating-point number";
    if constexpr (std::is_same_v<T, float>) return "a 32-bit floating-point number";
    if constexpr (std::is_same_v<T, int32_t>) return "a 32-bit signed decimal integer";
    if constexpr (std::is_same_v<T, uint64_t>) return "an unsigned decimal integer";
}

// Empty when `text` converts to T, otherwise the reason in words.
template <class T>
std::string number_problem(std::string_view text) {
    std::errc why{};
    if (parse_number<T>(text, &why)) return {};
    if (why == std::errc::result_out_of_range) {
        if constexpr (std::is_integral_v<T>) {
            return fmt::format("value {} is out of range {}..{}", text, std::numeric_limits<T>::min(),
                               std::numeric_limits<T>::max());
        } else {
            return fmt::format("value {} is out of range for {}", text, type_words<T>());
        }
    }
    return fmt::format("value {} is not {}", text, type_words<T>());
}

// Validator for the parser: rejects text that does not convert, as a usage error. It has no
// description so the help shows only the value name.
template <class T>
std::function<std::string(const std::string&)> number_check() {
    return [](const std::string& text) { return number_problem<T>(text); };
}

// An option's identifier: the long name with '-' read as '_', or the positional's name.
std::string identifier(const CLI::Option* opt) {
    std::string name = opt->get_lnames().empty() ? opt->get_name() : opt->get_lnames().front();
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

// The text of an option: the given value, else its default text; nullopt when neither exists.
std::optional<std::string> text_of(const CLI::Option* opt) {
    if (opt->count() > 0) return opt->results().back();
    if (!opt->get_default_str().empty()) return opt->get_default_str();
    return std::nullopt;
}

Error missing(const CLI::Option* opt) {
    return Error::make("the following required argument was not provided: {}", identifier(opt));
}

// Conversion of parsed matches into fields. The parser has already checked presence and
// syntax, so these errors are fallbacks for states it should have ruled out.
Status get_path(const CLI::Option* opt, std::filesystem::path& out) {
    auto text = text_of(opt);
    if (!text) return missing(opt);
    out = std::filesystem::path(*text);
    return Ok{};
}

Status get_path(const CLI::Option* opt, std::optional<std::filesystem::path>& out) {
    if (opt->count() > 0) out = std::filesystem::path(opt->results().back());
    return Ok{};
}

template <class T>
Status get_number(const CLI::Option* opt, T& out) {
    auto text = text_of(opt);
    if (!text) return missing(opt);
    auto value = parse_number<T>(*text);
    if (!value) return Error::make("{}: {}", opt->get_name(), number_problem<T>(*text));
    out = *value;
    return Ok{};
}

template <class T>
Status get_number(const CLI::Option* opt, std::optional<T>& out) {
    if (opt->count() == 0) return Ok{};
    T value{};
    QX_CHECK(get_number(opt, value));
    out = value;
    return Ok{};
}

struct EncodeOptions {
    CLI::Option *input, *output, *pos_mm, *color_levels, *rot_steps, *scale_pct, *gop, *zstd_level,
        *denoise_colors, *no_verify, *fps, *report, *perm_out;
};
struct VerifyOptions {
    CLI::Option *file, *input, *fps;
};
struct DecodeOptions {
    CLI::Option *file, *frame, *output;
};
struct InfoOptions {
    CLI::Option* file;
};

// A value option: value name = identifier in upper case, default stored as text (shown in the
// help, and converted like a value given on the command line when the option is absent).
CLI::Option* value_option(CLI::App& app, const std::string& names, const std::string& value_name,
                          const std::string& help, const std::string& default_text = {}) {
    CLI::Option* opt = app.add_option(names, help)->type_name(value_name);
    if (!default_text.empty()) opt->default_str(default_text);
    return opt;
}

EncodeOptions add_encode(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("encode", "Compress a directory of .splat frames into one .quorvex file");
    EncodeOptions o{};
    o.input = value_option(*sub, "-i,--input", "INPUT",
                           "Directory containing frame_*.splat (+ optional frames.json manifest)")
                  ->required();
    o.output = value_option(*sub, "-o,--output", "OUTPUT", "Output .quorvex path")->required();
    o.pos_mm = value_option(*sub, "--pos-mm", "POS_MM", "Max absolute position error, millimeters", "2")
                   ->check(number_check<double>());
    o.color_levels = value_option(*sub, "--color-levels", "COLOR_LEVELS",
                                  "Max absolute color/opacity error, 8-bit levels", "4")
                         ->check(number_check<int32_t>());
    o.rot_steps =
        value_option(*sub, "--rot-steps", "ROT_STEPS",
                     "Max absolute quaternion-component error, units of 1/128 (0 = lossless vs input grid)", "0")
            ->check(number_check<int32_t>());
    o.scale_pct = value_option(*sub, "--scale-pct", "SCALE_PCT", "Max relative scale error, percent", "2")
                      ->check(number_check<double>());
    o.gop = value_option(*sub, "--gop", "GOP", "Frames per GOP (keyframe interval)", "30")
                ->check(number_check<uint64_t>());
    o.zstd_level = value_option(*sub, "--zstd-level", "ZSTD_LEVEL",
                                "zstd compression level (0 = auto: 19, with 13 for very large streams)", "3")
                       ->check(number_check<int32_t>());
    o.denoise_colors = sub->add_flag("--denoise-colors")->description(
        "Temporal median-of-5 prefilter on colors (bounds then hold vs the smoothed signal)");
    o.no_verify = sub->add_flag("--no-verify")->description("Skip the exhaustive decode-and-check pass");
    o.fps = value_option(*sub, "--fps", "FPS", "Frames per second if no frames.json manifest is present")
                ->check(number_check<float>());
    o.report =
        value_option(*sub, "--report", "REPORT", "Write a machine-readable metrics report to this JSON path");
    o.perm_out = value_option(*sub, "--perm-out", "PERM_OUT",
                              "Write the splat permutation (file order -> input index, n×u32 LE); lets a viewer "
                              "align original frames with the encoded ordering");
    // A flag takes no value: "--no-verify=false" must not quietly mean "verify".
    o.denoise_colors->disable_flag_override();
    o.no_verify->disable_flag_override();
    return o;
}

VerifyOptions add_verify(CLI::App& app) {
    CLI::App* sub = app.add_subcommand(
        "verify", "Verify a .quorvex against its source frames (exhaustive, every splat every frame)");
    VerifyOptions o{};
    o.file = value_option(*sub, "file", "FILE", "")->required();
    o.input = value_option(*sub, "-i,--input", "INPUT", "")->required();
    o.fps = value_option(*sub, "--fps", "FPS", "")->check(number_check<float>());
    return o;
}

DecodeOptions add_decode(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("decode", "Reconstruct one frame back to a .splat file");
    DecodeOptions o{};
    o.file = value_option(*sub, "file", "FILE", "")->required();
    o.frame = value_option(*sub, "--frame", "FRAME", "", "0")->check(number_check<uint64_t>());
    o.output = value_option(*sub, "-o,--output", "OUTPUT", "")->required();
    return o;
}

InfoOptions add_info(CLI::App& app) {
    CLI::App* sub = app.add_subcommand("info", "Print header and section statistics");
    InfoOptions o{};
    o.file = value_option(*sub, "file", "FILE", "")->required();
    return o;
}

Result<Cmd> to_encode(const EncodeOptions& o) {
    EncodeCmd c;
    QX_CHECK(get_path(o.input, c.input));
    QX_CHECK(get_path(o.output, c.output));
    QX_CHECK(get_number(o.pos_mm, c.pos_mm));
    QX_CHECK(get_number(o.color_levels, c.color_levels));
    QX_CHECK(get_number(o.rot_steps, c.rot_steps));
    QX_CHECK(get_number(o.scale_pct, c.scale_pct));
    QX_CHECK(get_number(o.gop, c.gop));
    QX_CHECK(get_number(o.zstd_level, c.zstd_level));
    c.denoise_colors = o.denoise_colors->count() > 0;
    c.no_verify = o.no_verify->count() > 0;
    QX_CHECK(get_number(o.fps, c.fps));
    QX_CHECK(get_path(o.report, c.report));
    QX_CHECK(get_path(o.perm_out, c.perm_out));
    return Cmd{std::move(c)};
}

Result<Cmd> to_verify(const VerifyOptions& o) {
    VerifyCmd c;
    QX_CHECK(get_path(o.file, c.file));
    QX_CHECK(get_path(o.input, c.input));
    QX_CHECK(get_number(o.fps, c.fps));
    return Cmd{std::move(c)};
}

Result<Cmd> to_decode(const DecodeOptions& o) {
    DecodeCmd c;
    QX_CHECK(get_path(o.file, c.file));
    QX_CHECK(get_number(o.frame, c.frame));
    QX_CHECK(get_path(o.output, c.output));
    return Cmd{std::move(c)};
}

Result<Cmd> to_info(const InfoOptions& o) {
    InfoCmd c;
    QX_CHECK(get_path(o.file, c.file));
    return Cmd{std::move(c)};
}

// Largest integer bound accepted. The coder computes 2·b + 1 and min/max ± b in 32 bits, so
// b must stay far below 2^30; colour and opacity values span 0..255 and rotation components
// -128..127, so any bound above a few hundred already makes every attribute static and a
// larger one changes nothing.
constexpr int32_t kMaxIntBound = 1'000'000;

Status check_positive_finite(const char* name, double v) {
    if (!(std::isfinite(v) && v > 0))
        return Error::make("{} must be a positive finite number (got {})", name, plain(v));
    return Ok{};
}

Status check_int_bound(const char* name, int32_t v) {
    if (v < 0 || v > kMaxIntBound)
        return Error::make("{} must be between 0 and {} (got {})", name, kMaxIntBound, v);
    return Ok{};
}

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

Result<int> status_exit(Status s) {
    if (!s) return std::move(s).error();
    return 0;
}

}  // namespace

std::variant<Cli, int> parse_cli(int argc, char** argv) { return parse_cli(argc, argv, std::cout, std::cerr); }

std::variant<Cli, int> parse_cli(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"4D gaussian splat compressor with deterministic error bounds", "quorvex"};
    app.require_subcommand(1);
    const EncodeOptions encode = add_encode(app);
    const VerifyOptions verify = add_verify(app);
    const DecodeOptions decode = add_decode(app);
    const InfoOptions info = add_info(app);

    // With nothing at all on the command line the full help is more useful than "a subcommand
    // is required"; it is still a usage error.
    if (argc <= 1) {
        err << app.help();
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::RequiredError& e) {
        // An unknown word where the subcommand belongs is reported by the parser as a missing
        // subcommand; naming the word that was not understood says more.
        if (app.get_subcommands().empty() && !app.remaining().empty())
            return app.exit(CLI::ExtrasError(app.remaining()), out, err) == 0 ? 0 : 2;
        return app.exit(e, out, err) == 0 ? 0 : 2;
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? 0 : 2;
    }

    const auto usage_error = [&](const std::string& message) {
        err << message << "\nRun with --help for more information.\n";
        return 2;
    };
    const std::vector<CLI::App*> chosen = app.get_subcommands();
    if (chosen.empty()) return usage_error("a subcommand is required but one was not provided");
    const std::string& name = chosen.front()->get_name();
    Result<Cmd> cmd = name == "encode"   ? to_encode(encode)
                      : name == "verify" ? to_verify(verify)
                      : name == "decode" ? to_decode(decode)
                      : name == "info"   ? to_info(info)
                                         : Result<Cmd>(Error::make("the subcommand '{}' wasn't recognized", name));
    if (!cmd) return usage_error(cmd.error().render());
    return Cli{std::move(*cmd)};
}

Bounds bounds_from(const EncodeCmd& cmd) {
    Bounds b;
    b.pos_m = cmd.pos_mm / 1000;
    b.scale_rel = cmd.scale_pct / 100;
    b.rgb = cmd.color_levels;
    b.alpha = cmd.color_levels;
    b.rot = cmd.rot_steps;
    return b;
}

Status validate_encode_options(const EncodeCmd& cmd) {
    if (cmd.gop == 0) return Error::make("--gop must be at least 1 (got {})", cmd.gop);
    QX_CHECK(check_positive_finite("--pos-mm", cmd.pos_mm));
    QX_CHECK(check_positive_finite("--scale-pct", cmd.scale_pct));
    // The grids are pos_m and ln(1 + scale_rel); a tiny positive option can still round them
    // to zero, which would divide by zero in quantisation.
    const Bounds b = bounds_from(cmd);
    if (!(b.pos_m > 0))
        return Error::make("--pos-mm is too small to give a quantisation step (got {})", plain(cmd.pos_mm));
    if (!(std::log(1 + b.scale_rel) > 0))
        return Error::make("--scale-pct is too small to give a quantisation step (got {})", plain(cmd.scale_pct));
    QX_CHECK(check_int_bound("--color-levels", cmd.color_levels));
    QX_CHECK(check_int_bound("--rot-steps", cmd.rot_steps));
    if (cmd.fps && !(std::isfinite(*cmd.fps) && *cmd.fps > 0))
        return Error::make("--fps must be a positive finite number (got {})", plain(*cmd.fps));
    const int lo = ZSTD_minCLevel(), hi = ZSTD_maxCLevel();
    if (cmd.zstd_level < lo || cmd.zstd_level > hi)
        return Error::make("--zstd-level must be between {} and {} (got {})", lo, hi, cmd.zstd_level);
    return Ok{};
}

int run_main(int argc, char** argv) {
    try {
        std::variant<Cli, int> parsed = parse_cli(argc, argv);
        if (const int* status = std::get_if<int>(&parsed)) return *status;
        const Cli& cli = std::get<Cli>(parsed);

        Result<int> result = std::visit(Overloaded{
                                            [](const EncodeCmd& c) { return status_exit(run_encode(c)); },
                                            [](const VerifyCmd& c) { return run_verify(c); },
                                            [](const DecodeCmd& c) { return status_exit(run_decode(c)); },
                                            [](const InfoCmd& c) { return status_exit(run_info(c)); },
                                        },
                                        cli.cmd);
        std::fflush(stdout);
        if (!result) {
            fmt::print(stderr, "Error: {}\n", result.error().render());
            return 1;
        }
        return *result;
    } catch (const std::exception& e) {
        // Last resort for what the error values cannot carry (allocation failure, a library
        // throwing); it still ends as a command failure rather than an abort.
        std::fflush(stdout);
        fmt::print(stderr, "Error: {}\n", e.what());
        return 1;
    }
}

}  // namespace quorvex
