#include "support/big_alloc.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace quorvex {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

}  // namespace

void advise_huge_pages(const void* p, size_t bytes) {
    if (bytes < 2 * kHugePage) return;
    const auto begin = reinterpret_cast<uintptr_t>(p);
    const uintptr_t lo = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t hi = (begin + bytes) & ~(kHugePage - 1);
    if (hi <= lo) return;
    // Failure (no THP support, a kernel that says no) leaves ordinary pages: nothing to report.
    (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

}  // namespace quorvex
