// Live audio and video are refused with 5 while throttled; modified types,
// stored media and everything else still reach the queue, until one plugin's
// backlog or all live payload passes its ceiling (search results excepted).
#include "support/hosted_core.h"
#include "support/core_test_access.h"

#include "core/ref_block.h"
#include "support/records.h"

#include <vector>

using namespace testing_support;
using testing_support::Record;

namespace {

using ox::core::kLiveClass;
using ox::core::kStoredClass;

constexpr uint32_t kPoster = 0x00270000u;
char g_frame[] = "frame";

} // namespace

using AvDrop = HostedCore;

TEST_F(AvDrop, LiveMediaIsDroppedOnlyWhileThrottled) {
    auto video = Record(kPoster, OX_TYPE_VIDEO, kLiveClass).withPayload(g_frame);
    auto audio = Record(kPoster, OX_TYPE_AUDIO, kLiveClass).withPayload(g_frame);
    EXPECT_EQ(core_.pluginEvent(video), 0);
    EXPECT_EQ(core_.pluginEvent(audio), 0);

    tick(0ns);
    inUse_ = 300u << 20;
    tick(1s);
    ASSERT_TRUE(DvrCoreTestAccess::throttling(core_));
    size_t const before = DvrCoreTestAccess::queued(core_).size();

    auto output = Record(kPoster, OX_TYPE_VIDEO, kLiveClass).withPayload(g_frame).withMedia(OX_OUTPUT_BIT);
    EXPECT_EQ(core_.pluginEvent(video), 5);
    EXPECT_EQ(core_.pluginEvent(output), 5);
    EXPECT_EQ(core_.pluginEvent(audio), 5);
    EXPECT_EQ(DvrCoreTestAccess::queued(core_).size(), before); // nothing copied or queued

    auto modified = Record(kPoster, OX_TYPE_AUDIO | OX_TYPE_MODIFIER, kLiveClass).withPayload(g_frame);
    auto stored = Record(kPoster, OX_TYPE_VIDEO, kStoredClass).withPayload(g_frame);
    auto alarm = Record(kPoster, OX_TYPE_ALARM, kLiveClass).withPayload(g_frame);
    auto config = Record(kPoster, OX_TYPE_CONFIG, kLiveClass | ox::core::kXmlPayload).withPayload(g_frame);
    for (auto* e : {&modified, &stored, &alarm, &config}) EXPECT_EQ(core_.pluginEvent(*e), 0) << e->type;
    EXPECT_EQ(DvrCoreTestAccess::queued(core_).size(), before + 4);

    EXPECT_EQ(DvrCoreTestAccess::counters(core_).throttledVideo.load(), 2u);
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).throttledAudio.load(), 1u);

    inUse_ = 100u << 20; // the first check under the limit ends the dropping
    tick(1s);
    EXPECT_EQ(core_.pluginEvent(video), 0);
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).throttledVideo.load(), 2u);
}

TEST_F(AvDrop, WhileThrottledOnePluginsBacklogOrKeptPayloadsAreCapped) {
    // Nothing dispatches here: whatever is accepted stays queued.
    static std::vector<char> mib(1u << 20, 'c');
    auto post = [&](uint32_t source) {
        Record e(source, OX_TYPE_CONFIG, ox::core::kLiveClass | ox::core::kXmlPayload, mib.data(),
                 static_cast<uint32_t>(mib.size()));
        return core_.pluginEvent(e);
    };
    for (int i = 0; i < 12; ++i) ASSERT_EQ(post(0x00270000u), 0) << i; // no ceiling while memory is fine

    tick(0ns);
    inUse_ = 300u << 20;
    tick(1s);
    ASSERT_TRUE(DvrCoreTestAccess::throttling(core_));
    EXPECT_EQ(post(0x00270000u), 1); // 12 MiB of its own waiting
    EXPECT_EQ(post(0x00270000u), 1);
    EXPECT_EQ(post(0x00280000u), 0); // another plugin's records still flow
    EXPECT_EQ(logged("memory is short: events of plugin 27 refused"), 1u); // once per episode

    // Payloads that consumers keep count as well, and media that is never
    // dropped (modified, or without a class) is capped like the rest.
    char* kept = oxmem::allocRefBlock(100u << 20);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(post(0x00280000u), 1);
    auto modified = Record(0x00280000u, OX_TYPE_VIDEO | OX_TYPE_MODIFIER, kLiveClass).withPayload(g_frame);
    auto classless = Record(0x00280000u, OX_TYPE_AUDIO, 0).withPayload(g_frame);
    EXPECT_EQ(core_.pluginEvent(modified), 1);
    EXPECT_EQ(core_.pluginEvent(classless), 1);
    // An address-less plugin posts with the core's word: capped like any other.
    EXPECT_EQ(post(ox::core::kCoreAddress), 1);
    // The core's own log lines are never refused.
    size_t const queued = DvrCoreTestAccess::queued(core_).size();
    EXPECT_EQ(core_.myLogMessage(kLogNotice, "still logging"), 0);
    EXPECT_EQ(DvrCoreTestAccess::queued(core_).size(), queued + 1);
    oxmem::freeRefBlock(kept);
    EXPECT_EQ(post(0x00280000u), 0);

    inUse_ = 100u << 20;
    tick(1s);
    EXPECT_EQ(post(0x00270000u), 0);
}

TEST_F(AvDrop, AllLivePayloadIsCappedEvenBeforeTheReadingShowsMemoryShort) {
    // A fast producer fills memory between two readings: past the ceiling its
    // records are refused at once, live media included.
    ASSERT_FALSE(DvrCoreTestAccess::throttling(core_));
    char* kept = oxmem::allocRefBlock(100u << 20);
    ASSERT_NE(kept, nullptr);
    auto video = Record(kPoster, OX_TYPE_VIDEO, kLiveClass).withPayload(g_frame);
    auto alarm = Record(kPoster, OX_TYPE_ALARM, kLiveClass).withPayload(g_frame);
    auto own = Record(ox::core::kCoreAddress, OX_TYPE_ALARM, kLiveClass).withPayload(g_frame);
    EXPECT_EQ(core_.pluginEvent(video), 1);
    EXPECT_EQ(core_.pluginEvent(alarm), 1);
    // The core's own records never come through a post: this word is a plugin's.
    EXPECT_EQ(core_.pluginEvent(own), 1);
    EXPECT_EQ(logged("memory is short: events of plugin 27 refused"), 1u);
    oxmem::freeRefBlock(kept);
    EXPECT_EQ(core_.pluginEvent(video), 0);
    EXPECT_EQ(core_.pluginEvent(alarm), 0);
}
