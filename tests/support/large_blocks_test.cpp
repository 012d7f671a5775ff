#include "support/large_blocks.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quorvex {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

bool on_2mib(const void* p) { return (reinterpret_cast<uintptr_t>(p) & (2 * kMiB - 1)) == 0; }

TEST(LargeBlocks, SmallRequestsAreDeclined) {
    EXPECT_EQ(large_block_alloc(0), nullptr);
    EXPECT_EQ(large_block_alloc(kLargeBlockMin - 1), nullptr);
    EXPECT_EQ(large_block_alloc(SIZE_MAX), nullptr);
}

TEST(LargeBlocks, AlignedWritableAndReleasedOnce) {
    for (const size_t bytes : {kLargeBlockMin, kLargeBlockMin + 1, 7 * kMiB + 123}) {
        auto* p = static_cast<uint8_t*>(large_block_alloc(bytes));
        ASSERT_NE(p, nullptr) << bytes;
        EXPECT_TRUE(on_2mib(p));
        std::memset(p, 0xA5, bytes);
        EXPECT_EQ(p[0], 0xA5);
        EXPECT_EQ(p[bytes - 1], 0xA5);
        EXPECT_TRUE(large_block_free(p));
    }
}

TEST(LargeBlocks, ForeignPointersAreLeftAlone) {
    EXPECT_FALSE(large_block_free(nullptr));
    void* heap = std::malloc(100);
    EXPECT_FALSE(large_block_free(heap));
    std::free(heap);
    // On a 2 MiB boundary, but not one of the blocks.
    void* aligned = std::aligned_alloc(2 * kMiB, 2 * kMiB);
    ASSERT_NE(aligned, nullptr);
    EXPECT_FALSE(large_block_free(aligned));
    std::free(aligned);
    // An address inside a block is not the block.
    auto* p = static_cast<uint8_t*>(large_block_alloc(4 * kMiB));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(large_block_free(p + 2 * kMiB));
    EXPECT_TRUE(large_block_free(p));
}

TEST(LargeBlocks, FullRegistryDeclinesUntilABlockIsFreed) {
    // Blocks mapped but never touched cost address space only.
    std::vector<void*> blocks;
    for (;;) {
        void* p = large_block_alloc(kLargeBlockMin);
        if (!p) break;
        blocks.push_back(p);
        ASSERT_LE(blocks.size(), kLargeBlockSlots);
    }
    // Other tests of this process may hold blocks of their own, never many.
    EXPECT_GE(blocks.size(), kLargeBlockSlots - 8);
    ASSERT_TRUE(large_block_free(blocks.back()));
    blocks.pop_back();
    void* again = large_block_alloc(kLargeBlockMin);
    ASSERT_NE(again, nullptr);
    blocks.push_back(again);
    // Every block stays distinct and is released exactly once.
    for (void* p : blocks) EXPECT_TRUE(large_block_free(p));
    for (void* p : blocks) EXPECT_FALSE(large_block_free(p));
}

}  // namespace
}  // namespace quorvex
