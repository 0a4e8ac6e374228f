// The event queue on its own: order across the ring's wrap and growth, the
// queued-bytes accounting, and the close that refuses every later record.
#include "core/delivery_clock.h"
#include "core/event_queue.h"
#include "core/live_blocks.h"
#include "core/ref_block.h"
#include "support/records.h"

#include <gtest/gtest.h>

namespace {

using ox::core::EventQueue;
using testing_support::Record;

Record numbered(uint32_t n, uint32_t source = 0x00050000u) {
    return Record(source, OX_TYPE_ALARM, ox::core::kLiveClass).withRequest(n);
}

} // namespace

TEST(EventQueue, KeepsOrderAcrossWrapAndGrowthAndCountsBytes) {
    EventQueue q;
    DeliveryClock clock;
    char byte = 'x';
    uint32_t next = 0, expected = 0;
    ox::core::EventParms e;
    // Pushing three, taking two at a time wraps the ring many times before it grows.
    for (int round = 0; round < 400; ++round) {
        for (int i = 0; i < 3; ++i) {
            auto rec = numbered(next++);
            rec.data = &byte; // stands for a payload block
            rec.dataLen = 10;
            ASSERT_TRUE(q.push(rec));
        }
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(q.take(e, clock).what, EventQueue::Taken::Record);
            ASSERT_EQ(e.requestId, expected++);
        }
    }
    EXPECT_EQ(q.queuedBytes(5), 400u * 10);
    ox::core::RecordRing left = q.drain();
    EXPECT_EQ(left.size(), 400u);
    left.forEach([&](ox::core::EventParms const& r) { EXPECT_EQ(r.requestId, expected++); });
    EXPECT_EQ(q.queuedBytes(5), 0u);
}

TEST(EventQueue, StoppedQueueDeliversWhatWaitsThenRefusesEverything) {
    EventQueue q;
    DeliveryClock clock;
    ox::core::EventParms e;
    ASSERT_TRUE(q.push(numbered(1)));
    q.stop();
    EXPECT_EQ(q.take(e, clock).what, EventQueue::Taken::Record);
    EXPECT_EQ(q.take(e, clock).what, EventQueue::Taken::Closed);
    EXPECT_FALSE(q.push(numbered(2)));
    EXPECT_FALSE(q.push(numbered(3, ox::core::kCoreAddress)));
    EXPECT_EQ(q.lateCoreRecords(), 1u); // only the core's own are counted
    EXPECT_TRUE(q.snapshot().empty());
}

// The dispatcher gives back the block of a record in its next take: until
// then the block stays alive and a stale decref of it is refused; then it is
// freed into the block cache, and the next payload of its size gets it.
TEST(EventQueue, BlockGivenBackWithTheNextTakeIsFreedThere) {
    EventQueue q;
    DeliveryClock clock;
    char* const block = oxmem::allocRefBlock(1000);
    ASSERT_NE(block, nullptr);
    oxmem::addRef(block, 0); // the queue's reference
    uint32_t const alive = oxmem::stats.blocks.load();
    auto rec = numbered(1);
    rec.data = block;
    rec.dataLen = 1000;
    ASSERT_TRUE(q.push(rec));
    ox::core::EventParms e;
    ASSERT_EQ(q.take(e, clock).what, EventQueue::Taken::Record);
    char* const done = oxmem::releaseKeepingBlock(e.data, 0);
    ASSERT_EQ(done, block);
    EXPECT_EQ(oxmem::stats.blocks.load(), alive);
    EXPECT_FALSE(oxmem::takeHolderMark(block, 5));
    ASSERT_TRUE(q.push(numbered(2)));
    ASSERT_EQ(q.take(e, clock, done).what, EventQueue::Taken::Record);
    EXPECT_EQ(oxmem::stats.blocks.load(), alive - 1);
    EXPECT_FALSE(oxmem::takeHolderMark(block, 5));
    char* const again = oxmem::allocRefBlock(1000);
    EXPECT_EQ(again, block);
    oxmem::freeRefBlock(again);
}

TEST(EventQueue, RingGivesBackABurstsPeakKeepingWhatWaits) {
    ox::core::RecordRing ring;
    for (uint32_t i = 0; i < 5000; ++i) ring.push(numbered(i));
    size_t const peak = ring.capacity();
    EXPECT_EQ(ring.shrink(), nullptr); // full: nothing to give back
    uint32_t expected = 0;
    while (ring.size() > 100) ASSERT_EQ(ring.pop().requestId, expected++);
    EXPECT_NE(ring.shrink(), nullptr);
    EXPECT_LT(ring.capacity(), peak / 16);
    EXPECT_GE(ring.capacity(), 2 * ring.size());
    for (uint32_t i = 5000; i < 5300; ++i) ring.push(numbered(i)); // grows again as before
    while (!ring.empty()) ASSERT_EQ(ring.pop().requestId, expected++);
    EXPECT_EQ(expected, 5300u);
}
