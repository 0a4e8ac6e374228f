// Reference blocks: layout, counts and their accounting, the release hook.
#include "core/dvr_core.h"
#include "core/live_blocks.h"
#include "core/ref_block.h"
#include "support/records.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {
using RefBlocks = ::testing::Test;
} // namespace

TEST_F(RefBlocks, PayloadIsAlignedWithItsHeaderInFront) {
    for (uint32_t len : {1u, 7u, 64u, 65537u}) {
        char* p = oxmem::allocRefBlock(len);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
        EXPECT_EQ(oxmem::headerOf(p)->size, len + 8);
        EXPECT_EQ(oxmem::headerOf(p)->refCount.load(), 0u);
        std::memset(p, 0xAB, len); // the whole payload is ours
        oxmem::freeRefBlock(p);
    }
}

TEST_F(RefBlocks, CountsFollowHoldersAndFreeWithTheLast) {
    uint32_t const blocks0 = oxmem::stats.blocks, bytes0 = oxmem::stats.bytes;
    char* p = oxmem::allocRefBlock(100);
    EXPECT_EQ(oxmem::stats.blocks - blocks0, 1u);
    EXPECT_EQ(oxmem::stats.bytes - bytes0, 108u);
    oxmem::addRef(p, 0);
    oxmem::addRef(p, 0x27);
    EXPECT_EQ(oxmem::stats.refs[0x27].load(), 1u);
    oxmem::release(p, 0);
    EXPECT_EQ(oxmem::stats.blocks - blocks0, 1u); // plugin 0x27 still holds it
    oxmem::release(p, 0x27);
    EXPECT_EQ(oxmem::stats.blocks, blocks0);
    EXPECT_EQ(oxmem::stats.bytes, bytes0);
    EXPECT_EQ(oxmem::stats.refs[0x27].load(), 0u);
}

TEST_F(RefBlocks, NullPayloadChangesNothing) {
    uint32_t const refs0 = oxmem::stats.refs[3];
    oxmem::addRef(nullptr, 3);
    oxmem::release(nullptr, 3);
    EXPECT_EQ(oxmem::stats.refs[3].load(), refs0);
}

TEST_F(RefBlocks, OversizedPayloadIsRefusedNotTruncated) {
    EXPECT_EQ(oxmem::allocRefBlock(0xFFFFFFF0u), nullptr);
    char byte = 'x';
    // The block cannot be had: refused, not queued without payload.
    testing_support::Record e(0, OX_TYPE_ALARM, OX_LIVE_CLASS, &byte, 0xFFFFFFF0u);
    DvrCore core("/nonexistent/bin/dvrcore");
    EXPECT_EQ(core.queueEvent(e), 1);
}

TEST_F(RefBlocks, LastReleaseRunsTheHookBeforeTheBlockIsFreed) {
    struct Seen {
        char const* payload = nullptr;
        uint32_t blocksAtHook = 0;
    } seen;
    oxmem::setReleaseHook(
        [](char const* payload, void* context) {
            auto* s = static_cast<Seen*>(context);
            s->payload = payload;
            s->blocksAtHook = oxmem::stats.blocks.load();
        },
        &seen);
    uint32_t const blocks0 = oxmem::stats.blocks;
    char* p = oxmem::allocRefBlock(10);
    oxmem::addRef(p, 0);
    oxmem::addRef(p, 4);
    oxmem::release(p, 0);
    EXPECT_EQ(seen.payload, nullptr); // plugin 4 still holds it
    oxmem::release(p, 4);
    oxmem::setReleaseHook(nullptr, nullptr);
    EXPECT_EQ(seen.payload, p);
    EXPECT_EQ(seen.blocksAtHook, blocks0 + 1); // still alive while the hook ran
    EXPECT_EQ(oxmem::stats.blocks, blocks0);
}

// A plugin's stale second decref of a block whose address came back at once
// (the block cache) may land while the dispatcher takes the next delivery's
// reference: it must never take the queue's reference with it.
TEST_F(RefBlocks, StaleDecrefDuringADeliverysHoldNeverFreesTheBlock) {
    constexpr unsigned kPlugin = 5;
    constexpr uint32_t kLen = 16 * 1024; // a cached size: the same address again and again
    uint32_t const blocks0 = oxmem::stats.blocks.load();
    std::atomic<char const*> current{nullptr};
    std::atomic<bool> done{false};
    std::thread stale([&] {
        while (!done.load(std::memory_order_relaxed)) {
            char const* p = current.load(std::memory_order_acquire);
            if (p && oxmem::takeHolderMark(p, kPlugin)) oxmem::release(p, kPlugin);
        }
    });
    int broken = 0;
    // The window is a few instructions wide: as many rounds as a second and a half allows.
    auto const until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (unsigned i = 0; broken == 0 && (i % 1024 != 0 || std::chrono::steady_clock::now() < until); ++i) {
        char* p = oxmem::allocRefBlock(kLen);
        ASSERT_NE(p, nullptr);
        oxmem::addRef(p, 0); // the queue's
        current.store(p, std::memory_order_release);
        oxmem::holdFor(p, kPlugin);
        // The queue's reference keeps it alive (a release of the last block may still be under way).
        if (oxmem::stats.blocks.load() == blocks0) ++broken;
        oxmem::releaseFor(p, kPlugin);
        oxmem::release(p, 0);
    }
    done = true;
    stale.join();
    EXPECT_EQ(broken, 0);
}
