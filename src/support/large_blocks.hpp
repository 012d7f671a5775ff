#pragma once
// Large blocks in mappings of their own. A pass over a few hundred megabytes touches every
// page of its working arrays once, and on a virtual machine each 4 KiB page fault costs
// microseconds: blocks of 2 MiB and more are therefore mapped on 2 MiB boundaries, in whole
// 2 MiB pages, and advised for transparent huge pages (one fault per 2 MiB), instead of coming
// from the C library's heap or its unaligned mappings.

#include <cstddef>

namespace quorvex {

inline constexpr size_t kLargeBlockMin = size_t{2} << 20;
// Blocks alive at once that the registry can track; further requests are declined.
inline constexpr size_t kLargeBlockSlots = 1024;

// A block of at least `bytes` bytes aligned to 2 MiB, or null when the request is below
// kLargeBlockMin, the registry is full or the mapping fails: the caller then allocates
// elsewhere.
void* large_block_alloc(size_t bytes) noexcept;

// Unmaps p and returns true when p is a live block of large_block_alloc; returns false, and
// leaves p alone, for any other pointer.
bool large_block_free(void* p) noexcept;

}  // namespace quorvex
