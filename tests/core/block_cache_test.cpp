// Payload blocks kept for reuse: size classes, most recent first, the bounds,
// and the accounting, which counts only blocks in use.
#include "core/block_cache.h"
#include "core/ref_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kKiB = 1024;

class BlockCache : public ::testing::Test {
protected:
    void SetUp() override { oxmem::releaseCachedBlocks(); }
    void TearDown() override { oxmem::releaseCachedBlocks(); }
};

} // namespace

TEST_F(BlockCache, ClassesCoverTheCachedRangeInQuarterSteps) {
    EXPECT_EQ(oxmem::blockClassOf(1), 0u); // small payloads share the first class
    EXPECT_EQ(oxmem::blockClassCapacity(0), oxmem::kCachedFrom);
    EXPECT_EQ(oxmem::blockClassOf(oxmem::kCachedTo + 1), oxmem::kNoClass);
    EXPECT_EQ(oxmem::blockClassCapacity(oxmem::blockClassOf(16 * kKiB)), 16 * kKiB);
    EXPECT_EQ(oxmem::blockClassCapacity(oxmem::blockClassOf(16 * kKiB + 1)), 20 * kKiB);
    EXPECT_EQ(oxmem::blockClassCapacity(oxmem::blockClassOf(64 * kKiB)), 64 * kKiB);
    EXPECT_EQ(oxmem::blockClassCapacity(oxmem::blockClassOf(100 * kKiB)), 112 * kKiB);
    EXPECT_EQ(oxmem::blockClassCapacity(oxmem::blockClassOf(1024 * kKiB)), 1024 * kKiB);
    EXPECT_EQ(oxmem::blockClassCapacity(oxmem::blockClassOf(oxmem::kCachedTo)), oxmem::kCachedTo);
    // Every length fits its class and wastes less than a quarter; classes grow with the length.
    uint32_t previous = 0;
    for (uint32_t len = oxmem::kCachedFrom; len <= oxmem::kCachedTo; len += 997) {
        uint32_t const cls = oxmem::blockClassOf(len);
        uint32_t const cap = oxmem::blockClassCapacity(cls);
        ASSERT_GE(cap, len) << len;
        ASSERT_LT(cap - len, len / 4 + 1) << len;
        ASSERT_GE(cls, previous) << len;
        previous = cls;
    }
}

TEST_F(BlockCache, ReleasedBlockServesTheNextPayloadOfItsClass) {
    uint32_t const blocks0 = oxmem::stats.blocks, bytes0 = oxmem::stats.bytes;
    char* a = oxmem::allocRefBlock(64 * kKiB);
    char* b = oxmem::allocRefBlock(64 * kKiB);
    oxmem::freeRefBlock(a);
    oxmem::freeRefBlock(b);
    // Kept blocks are not in use: the accounting is back where it was.
    EXPECT_EQ(oxmem::stats.blocks, blocks0);
    EXPECT_EQ(oxmem::stats.bytes, bytes0);
    EXPECT_GT(oxmem::cachedBlockBytes(), 2 * 64 * kKiB);

    // Most recently released first, for any length of the class.
    char* c = oxmem::allocRefBlock(60 * kKiB);
    EXPECT_EQ(c, b);
    EXPECT_EQ(oxmem::headerOf(c)->size, 60 * kKiB + 8);
    EXPECT_EQ(oxmem::headerOf(c)->refCount.load(), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 64, 0u);
    std::memset(c, 0x11, 64 * kKiB); // the whole class capacity is the block's
    char* d = oxmem::allocRefBlock(64 * kKiB);
    EXPECT_EQ(d, a);
    EXPECT_EQ(oxmem::cachedBlockBytes(), 0u);
    EXPECT_EQ(oxmem::stats.blocks - blocks0, 2u);
    EXPECT_EQ(oxmem::stats.bytes - bytes0, 60 * kKiB + 8 + 64 * kKiB + 8);
    oxmem::freeRefBlock(c);
    oxmem::freeRefBlock(d);
}

TEST_F(BlockCache, OtherClassesAndHugeBlocksAreNotServedFromIt) {
    char* big = oxmem::allocRefBlock(64 * kKiB);
    oxmem::freeRefBlock(big);
    size_t const one = oxmem::cachedBlockBytes();
    char* other = oxmem::allocRefBlock(80 * kKiB);
    EXPECT_NE(other, big);
    EXPECT_EQ(oxmem::cachedBlockBytes(), one);
    char* huge = oxmem::allocRefBlock(oxmem::kCachedTo + 1);
    oxmem::freeRefBlock(huge); // above the cached sizes: straight back to the allocator
    EXPECT_EQ(oxmem::cachedBlockBytes(), one);
    oxmem::freeRefBlock(other);
    EXPECT_GT(oxmem::cachedBlockBytes(), one);
}

TEST_F(BlockCache, KeepsAtMostItsBoundsAndGivesEverythingBack) {
    // A backlog's blocks are all kept, however many were alive at once: the
    // next burst of the same size allocates nothing.
    std::vector<char*> blocks;
    for (int i = 0; i < 100; ++i) blocks.push_back(oxmem::allocRefBlock(64 * kKiB));
    for (char* p : blocks) oxmem::freeRefBlock(p);
    size_t const perBlock = oxmem::cachedBlockBytes() / 100;
    EXPECT_GE(perBlock, 64 * kKiB);
    EXPECT_EQ(oxmem::cachedBlockBytes(), 100 * perBlock);
    std::vector<char*> again;
    for (int i = 0; i < 100; ++i) again.push_back(oxmem::allocRefBlock(64 * kKiB));
    EXPECT_EQ(oxmem::cachedBlockBytes(), 0u);
    EXPECT_TRUE(std::is_permutation(again.begin(), again.end(), blocks.begin()));
    for (char* p : again) oxmem::freeRefBlock(p);

    // In bytes: 1 MiB blocks fill the rest of the bound and no more.
    blocks.clear();
    for (int i = 0; i < 16; ++i) blocks.push_back(oxmem::allocRefBlock(1024 * kKiB));
    for (char* p : blocks) oxmem::freeRefBlock(p);
    EXPECT_LE(oxmem::cachedBlockBytes(), oxmem::kCacheBytes);
    EXPECT_GT(oxmem::cachedBlockBytes() + 1024 * kKiB + 128, oxmem::kCacheBytes);

    oxmem::releaseCachedBlocks();
    EXPECT_EQ(oxmem::cachedBlockBytes(), 0u);
}

TEST_F(BlockCache, SizeInUseNowDisplacesAFullCachesOtherSizes) {
    std::vector<char*> blocks;
    while (blocks.size() * 64 * kKiB < oxmem::kCacheBytes + 4 * 1024 * kKiB)
        blocks.push_back(oxmem::allocRefBlock(64 * kKiB));
    for (char* p : blocks) oxmem::freeRefBlock(p); // the cache is full of 64 KiB blocks
    char* frame = oxmem::allocRefBlock(1024 * kKiB);
    oxmem::freeRefBlock(frame);
    EXPECT_LE(oxmem::cachedBlockBytes(), oxmem::kCacheBytes);
    char* next = oxmem::allocRefBlock(1024 * kKiB);
    EXPECT_EQ(next, frame); // kept, not given to the allocator
    oxmem::freeRefBlock(next);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(BlockCache, KeptBlockIsPoisoned) {
    // A plugin that touches a payload after its last release is still caught.
    char* p = oxmem::allocRefBlock(64 * kKiB);
    oxmem::freeRefBlock(p);
    EXPECT_DEATH(p[100] = 1, "use-after-poison");
    EXPECT_DEATH((void)oxmem::headerOf(p)->refCount.load(), "use-after-poison");
}
#endif
