#include "support/big_alloc.hpp"

#include <sys/mman.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <cstdint>

namespace quorvex {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
constexpr size_t kSmallPage = 4096;
// Below this a parallel loop costs more than the faults it spreads.
constexpr size_t kPrefaultMin = size_t{32} << 20;

}  // namespace

void advise_huge_pages(const void* p, size_t bytes) {
    if (bytes < kHugePage) return;
    const auto begin = reinterpret_cast<uintptr_t>(p);
    const uintptr_t lo = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t hi = (begin + bytes) & ~(kHugePage - 1);
    if (hi <= lo) return;
    // Failure (no THP support, a kernel that says no) leaves ordinary pages: nothing to report.
    (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

void prepare_pages(void* p, size_t bytes) {
    advise_huge_pages(p, bytes);
    if (bytes < kPrefaultMin) return;
    auto* bytes_p = static_cast<volatile uint8_t*>(p);
    // One write per small page: with huge pages the first write of each 2 MiB faults it in
    // whole, and the others find it present.
    tbb::parallel_for(tbb::blocked_range<size_t>(0, bytes, kHugePage),
                      [&](const tbb::blocked_range<size_t>& r) {
                          for (size_t off = r.begin(); off < r.end(); off += kSmallPage) bytes_p[off] = 0;
                      });
}

}  // namespace quorvex
