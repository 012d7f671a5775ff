#pragma once
// The one data-parallel pool is oneTBB's; its size is the thread count everywhere.

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <cstddef>

namespace quorvex {

// Threads of the data-parallel pool (also zstd's nbWorkers for large streams).
inline size_t pool_threads() {
    int n = tbb::this_task_arena::max_concurrency();
    return n > 0 ? static_cast<size_t>(n) : 1;
}

// Runs fn() with the pool limited to `threads` threads and returns its result: how tests and
// benchmarks compare thread counts (the program itself always uses every core).
template <class Fn>
auto with_threads(int threads, Fn&& fn) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<size_t>(threads));
    tbb::task_arena arena(threads);
    return arena.execute(fn);
}

}  // namespace quorvex
