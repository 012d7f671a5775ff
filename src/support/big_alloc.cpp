#include "support/big_alloc.hpp"

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

void prepare_pages(void* p, size_t bytes) {
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
