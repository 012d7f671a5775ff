#include "support/large_blocks.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>

namespace quorvex {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

struct Block {
    uintptr_t addr;
    size_t len;
};

// Live blocks, unordered. This allocator sits under operator new, so it must not allocate:
// a fixed table, scanned on free (blocks are few, and a scan costs far less than the munmap).
struct Registry {
    std::mutex mutex;
    Block blocks[kLargeBlockSlots];
    size_t used = 0;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void* large_block_alloc(size_t bytes) noexcept {
    if (bytes < kLargeBlockMin || bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
    const size_t len = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.used == kLargeBlockSlots) return nullptr;
    // Map one huge page more than needed and trim both ends to a 2 MiB boundary.
    void* m = ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<uintptr_t>(m);
    const uintptr_t addr = (base + kHugePage - 1) & ~(kHugePage - 1);
    if (addr > base) ::munmap(m, addr - base);
    const uintptr_t end = base + len + kHugePage;
    if (end > addr + len) ::munmap(reinterpret_cast<void*>(addr + len), end - (addr + len));
    // A hint: where the kernel declines, the block works with ordinary pages.
    (void)::madvise(reinterpret_cast<void*>(addr), len, MADV_HUGEPAGE);
    r.blocks[r.used++] = Block{addr, len};
    return reinterpret_cast<void*>(addr);
}

bool large_block_free(void* p) noexcept {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    // Every block starts on a 2 MiB boundary; anything else was never one.
    if (p == nullptr || (addr & (kHugePage - 1)) != 0) return false;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (size_t i = 0; i < r.used; ++i) {
        if (r.blocks[i].addr != addr) continue;
        ::munmap(p, r.blocks[i].len);
        r.blocks[i] = r.blocks[--r.used];
        return true;
    }
    return false;
}

}  // namespace quorvex
