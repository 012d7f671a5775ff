// quorvex_bench: the kernels, plus the frame-directory encode when QX_BENCH_FRAMES is set.

#include <benchmark/benchmark.h>

namespace quorvex::bench {
void register_encode_dir();
}

int main(int argc, char** argv) {
    quorvex::bench::register_encode_dir();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
