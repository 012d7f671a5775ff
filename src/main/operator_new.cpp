// The executable's operator new and delete: blocks of 2 MiB and more come from
// large_block_alloc (aligned huge-page mappings), everything else from malloc. Every array the
// codec works on (frame planes, per-splat tables, stream buffers) is a std::vector or a new[]
// array, so this one place decides how all of them meet the kernel. Not built with the
// sanitizers, which bring their own operator new.

#include <cstdlib>
#include <new>

#include "support/large_blocks.hpp"

namespace {

void* allocate(std::size_t bytes) {
    for (;;) {
        if (void* p = quorvex::large_block_alloc(bytes)) return p;
        if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void release(void* p) noexcept {
    if (!quorvex::large_block_free(p)) std::free(p);
}

}  // namespace

void* operator new(std::size_t bytes) { return allocate(bytes); }
void* operator new[](std::size_t bytes) { return allocate(bytes); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
