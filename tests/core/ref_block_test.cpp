// Reference blocks and their accounting, on a core hosted in-process.
#include "core/dvr_core.h"
#include "core/ref_block.h"
#include "support/records.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class RefBlocks : public ::testing::Test {
protected:
    void SetUp() override { SetCore(&core_); }
    void TearDown() override { SetCore(nullptr); }
    DvrCore core_{"/nonexistent/bin/dvrcore"};
};

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
    core_.incRef(p, 0);
    core_.incRef(p, 0x27);
    EXPECT_EQ(oxmem::stats.refs[0x27].load(), 1u);
    EXPECT_EQ(core_.decRef(p, 0), 0);
    EXPECT_EQ(oxmem::stats.blocks - blocks0, 1u); // plugin 0x27 still holds it
    EXPECT_EQ(core_.decRef(p, 0x27), 0);
    EXPECT_EQ(oxmem::stats.blocks, blocks0);
    EXPECT_EQ(oxmem::stats.bytes, bytes0);
    EXPECT_EQ(oxmem::stats.refs[0x27].load(), 0u);
}

TEST_F(RefBlocks, NullPayloadChangesNothing) {
    uint32_t const refs0 = oxmem::stats.refs[3];
    core_.incRef(nullptr, 3);
    EXPECT_EQ(core_.decRef(nullptr, 3), 0);
    EXPECT_EQ(oxmem::stats.refs[3].load(), refs0);
}

TEST_F(RefBlocks, OversizedPayloadIsRefusedNotTruncated) {
    EXPECT_EQ(oxmem::allocRefBlock(0xFFFFFFF0u), nullptr);
    char byte = 'x';
    // The block cannot be had: refused, not queued without payload.
    testing_support::Record e(0, OX_TYPE_ALARM, OX_LIVE_CLASS, &byte, 0xFFFFFFF0u);
    EXPECT_EQ(core_.queueEvent(e), 1);
}

TEST_F(RefBlocks, StatsLayoutIsFixed) {
    EXPECT_EQ(offsetof(oxmem::Stats, bytes), 68u);
    EXPECT_EQ(offsetof(oxmem::Stats, refs), 136u);
    EXPECT_EQ(sizeof(oxmem::Stats), 1160u);
}
