#pragma once
// Allocation of large working arrays. Touching fresh memory costs one page fault per page,
// and inside a virtual machine those faults dominate a pass over a few hundred megabytes:
// arrays of a few MiB and more are therefore advised for transparent huge pages (one fault
// per 2 MiB) before anything is written to them. Arrays that are overwritten completely are
// allocated without the zero fill.

#include <cstddef>
#include <memory>
#include <vector>

namespace quorvex {

// Asks the kernel to back the 2 MiB-aligned interior of [p, p + bytes) with huge pages. A hint
// only: does nothing for small ranges or where the kernel declines.
void advise_huge_pages(const void* p, size_t bytes);

// Advises [p, p + bytes) for huge pages and, for large ranges, has the pool's workers fault its
// pages in: the kernel clears every fresh page, and this way all cores share that work.
void prepare_pages(void* p, size_t bytes);

// Replaces v by a fresh allocation of n value-initialised (zero) elements, its pages prepared
// before the zero fill writes them.
template <class T>
void assign_zeroed(std::vector<T>& v, size_t n) {
    std::vector<T>().swap(v);
    v.reserve(n);
    prepare_pages(v.data(), n * sizeof(T));
    v.resize(n);
}

// n elements left uninitialised, for arrays that are overwritten before they are read.
template <class T>
std::unique_ptr<T[]> alloc_uninit(size_t n) {
    std::unique_ptr<T[]> p = std::make_unique_for_overwrite<T[]>(n);
    advise_huge_pages(p.get(), n * sizeof(T));
    return p;
}

}  // namespace quorvex
