#include "main/cli.hpp"

#include <CLI/CLI.hpp>

namespace quorvex {

int run_main(int argc, char** argv) {
    CLI::App app{"4D gaussian splat compressor with deterministic error bounds", "quorvex"};
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return 0;
}

}  // namespace quorvex
