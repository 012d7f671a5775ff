#pragma once
// Allocation of large working arrays. The kernel clears every fresh page on its first touch;
// for arrays of hundreds of megabytes the pool's workers share that work before the zero fill.
// Arrays that are overwritten completely are allocated without the zero fill. (How large blocks
// are mapped, on huge pages, is the executable's operator new: support/large_blocks.hpp.)

#include <cstddef>
#include <memory>
#include <vector>

namespace quorvex {

// For large ranges, has the pool's workers fault the pages of [p, p + bytes) in, so that all
// cores share the clearing of fresh pages; does nothing for small ones.
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
    return std::make_unique_for_overwrite<T[]>(n);
}

}  // namespace quorvex
