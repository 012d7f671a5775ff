#pragma once
// The one data-parallel pool is oneTBB's; its size is the thread count everywhere.

#include <tbb/task_arena.h>

#include <cstddef>

namespace quorvex {

// Threads of the data-parallel pool (also zstd's nbWorkers for large streams).
inline size_t pool_threads() {
    int n = tbb::this_task_arena::max_concurrency();
    return n > 0 ? static_cast<size_t>(n) : 1;
}

}  // namespace quorvex
