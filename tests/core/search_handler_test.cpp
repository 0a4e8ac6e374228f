// The search service's bookkeeping (the bound on cancelled ids) and the core's
// routing of searches, hosted in-process without plugins: what counts as a
// request, cancel and the cancel query, id reuse, and results refused outside
// search threads.
#include "support/hosted_core.h"
#include "support/core_test_access.h"
#include "support/records.h"

#include <gtest/gtest.h>

namespace {

using testing_support::Record;

class Search : public testing_support::HostedCore {
protected:
    int cancelQuery(uint32_t id) {
        auto q = Record(0x00270000u, OX_TYPE_CANCEL, ox::core::kQueryFlag).withPayload(payload_).withRequest(id);
        return core_.pluginEvent(q);
    }
    char payload_[40] = "query";
};

} // namespace

TEST_F(Search, RecognisedRequestsAndOthers) {
    auto request = Record(0x00000001u, OX_TYPE_VIDEO).withPayload(payload_).withRequest(0x00070001u);
    EXPECT_EQ(core_.searchRequest(request), 1); // no providers: taken and counted
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).searchRequests.load(), 1u);
    request.dataLen = 0;
    EXPECT_EQ(core_.searchRequest(request), 1); // taken, not counted
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).searchRequests.load(), 1u);

    auto fromCore = Record(ox::core::kCoreAddress, OX_TYPE_VIDEO).withPayload(payload_).withRequest(7);
    auto fromPlugin = Record(0x00050000u, OX_TYPE_VIDEO).withPayload(payload_).withRequest(7);
    auto noId = Record(0x00000001u, OX_TYPE_VIDEO).withPayload(payload_).withRequest(0);
    for (auto* e : {&fromCore, &fromPlugin, &noId}) EXPECT_EQ(core_.searchRequest(*e), 0) << e->source;

    // Through routing a taken request answers 0 and is never queued.
    request.dataLen = sizeof payload_;
    EXPECT_EQ(core_.pluginEvent(request), 0);
    EXPECT_TRUE(DvrCoreTestAccess::queued(core_).empty());
}

TEST_F(Search, CancelQueryAndReuse) {
    EXPECT_EQ(cancelQuery(9), 0);
    auto cancel = Record(0x00270000u, OX_TYPE_CANCEL).withPayload(payload_).withRequest(9);
    EXPECT_EQ(core_.pluginEvent(cancel), 0);
    EXPECT_EQ(core_.pluginEvent(cancel), 0);
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).searchCancels.load(), 2u);
    EXPECT_EQ(cancelQuery(9), 1);
    auto again = Record(0x00000001u, OX_TYPE_VIDEO).withPayload(payload_).withRequest(9);
    EXPECT_EQ(core_.pluginEvent(again), 0);
    EXPECT_EQ(cancelQuery(9), 0);
    EXPECT_TRUE(DvrCoreTestAccess::queued(core_).empty());
}

TEST(SearchHandler, CancelledIdsAreBoundedKeepingTheMostRecent) {
    SearchHandler h;
    size_t const cap = SearchHandler::kMaxCancelledIds;
    h.Cancel(1);
    h.reuse(1);
    h.Cancel(1); // the stale entry for 1 still takes a place in the order list
    for (unsigned long id = 100; id < 100 + cap; ++id) h.Cancel(id);
    EXPECT_FALSE(h.isCancelled(1));
    EXPECT_TRUE(h.isCancelled(100));
    h.Cancel(100 + cap);
    EXPECT_FALSE(h.isCancelled(100)); // the oldest went
    EXPECT_TRUE(h.isCancelled(101));
    EXPECT_TRUE(h.isCancelled(100 + cap - 1));
}

TEST_F(Search, ResultsOutsideSearchThreadsAreRefused) {
    auto result = Record(0x00270000u, OX_TYPE_VIDEO, ox::core::kStoredClass).withPayload(payload_).withRequest(7);
    EXPECT_EQ(core_.pluginEvent(result), 1);
    auto cancel = Record(0x00270000u, OX_TYPE_CANCEL).withPayload(payload_).withRequest(7);
    core_.pluginEvent(cancel);
    EXPECT_EQ(core_.pluginEvent(result), 1);
    EXPECT_TRUE(DvrCoreTestAccess::queued(core_).empty());
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).searchResults.load(), 0u);
}

TEST_F(Search, StoppedHandlerAnswersEveryCancelQueryAndStartsNothing) {
    DvrCoreTestAccess::search(core_).stop();
    EXPECT_EQ(cancelQuery(12345), 1);
    auto request = Record(0x00000001u, OX_TYPE_VIDEO).withPayload(payload_).withRequest(0x00070001u);
    EXPECT_EQ(core_.searchRequest(request), 1);
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).searchRequests.load(), 0u);
}
