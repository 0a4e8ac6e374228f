// The status summary on a core hosted in-process: its three lines with fixed
// counters, the top list of reference holders, the memory change, the reset,
// the one-minute period, and the size text.
#include "core/ref_block.h"
#include "support/core_test_access.h"
#include "log/locale.h"
#include "core/size_text.h"
#include "core/status_summary.h"
#include "support/hosted_core.h"
#include "support/records.h"
#include "support/temp_dir.h"

#include <fmt/format.h>

using namespace testing_support;

TEST(SizeText, GroupedBelowHundredKibAndBinaryUnitsAbove) {
    EXPECT_EQ(sizeText(0), "0");
    EXPECT_EQ(sizeText(-512), "-512");
    EXPECT_EQ(sizeText(102'399), "102,399");
    EXPECT_EQ(sizeText(102'400), "100KiB");
    EXPECT_EQ(sizeText(199'229'440), "190MiB");
    EXPECT_EQ(sizeText(1'536'000), "1.47MiB");
    EXPECT_EQ(sizeText(-2'097'152), "-2MiB");
    EXPECT_EQ(sizeText(8'388'608), "8MiB");
    EXPECT_EQ(sizeText(1'073'741'825), "1.01GiB"); // always rounded up
    EXPECT_EQ(sizeText(std::numeric_limits<int64_t>::max()), "8EiB");
    EXPECT_EQ(sizeText(std::numeric_limits<int64_t>::min()), "-8EiB");
}

namespace {

class Summary : public HostedCore {
protected:
    void SetUp() override {
        HostedCore::SetUp();
        saved_ = snapshotRefs();
        for (auto& r : oxmem::stats.refs) r.store(0);
        stats_.lastSummary = steady_.time_since_epoch() - 60s;
    }
    void TearDown() override {
        for (unsigned i = 0; i < 256; ++i) oxmem::stats.refs[i].store(saved_[i]);
        HostedCore::TearDown();
    }
    static std::array<uint32_t, 256> snapshotRefs() {
        std::array<uint32_t, 256> a{};
        for (unsigned i = 0; i < 256; ++i) a[i] = oxmem::stats.refs[i].load();
        return a;
    }
    /// Sets the memory in use through one measurement of the monitor.
    void measure(unsigned bytes) {
        inUse_ = bytes;
        tick(1s);
    }
    std::vector<std::string> summaries() {
        std::vector<std::string> out;
        for (auto const& l : queued(OX_TYPE_LOG))
            if (l.rfind("InQ:", 0) == 0) out.push_back(l);
        return out;
    }
    IpcCounters& ipc() { return DvrCoreTestAccess::ipcCounters(core_); }

    SummaryState stats_;
    std::array<uint32_t, 256> saved_{};
};

} // namespace

TEST_F(Summary, ThreeLinesWithFixedCountersThenReset) {
    tick(0ns);
    measure(150u << 20);
    stats_.inQ = 1234;
    stats_.events = 56789;
    stats_.idle = 3;
    stats_.logDispatchUs = 1'234'567;
    auto& c = DvrCoreTestAccess::counters(core_);
    c.throttledVideo = 1001;
    c.throttledAudio = 2;
    ipc().requestsRelayed = 5;
    ipc().resultsDelivered = 6000;
    ipc().resultBytes = 204'800;
    c.searchRequests = 7;
    c.searchCancels = 1;
    c.searchResults = 12'345;
    c.searchResultBytes = 512;
    oxmem::stats.refs[0x27] = 3000;
    // The queue's own references to the log lines queued so far show as Core's.
    std::string const blocks = fmt::format(ox::log::getLoc(), "{:L}({})", oxmem::stats.blocks.load(),
                                           sizeText(oxmem::stats.bytes.load()));
    std::string const core = fmt::format(", Core {}", oxmem::stats.refs[0].load());
    DvrCoreTestAccess::statusSummary(core_, stats_);

    auto s = summaries();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], "InQ:1,234 events:56,789 idle:3s throttled[v:1,001 a:2]\n"
                    "ltm:1,234,567us ipc[r:5 p:6,000 d:200KiB] srch[r:7 c:1 p:12,345 d:512]\n"
                    "memory[inuse:150MiB +150MiB] refblks:" + blocks + " top: unknown 3,000" + core);

    // Everything but InQ and the reference figures starts again from 0.
    EXPECT_EQ(stats_.events + stats_.idle + stats_.logDispatchUs, 0u);
    for (auto* counter : {&c.throttledVideo, &c.throttledAudio, &c.searchRequests, &c.searchCancels,
                          &c.searchResults, &c.searchResultBytes, &ipc().requestsRelayed, &ipc().resultsDelivered,
                          &ipc().resultBytes})
        EXPECT_EQ(counter->load(), 0u);

    // The next one waits a minute; memory down, then unchanged.
    measure(100u << 20);
    DvrCoreTestAccess::statusSummary(core_, stats_);
    EXPECT_EQ(summaries().size(), 1u);
    steady_ += 58s; // 59 s since the summary
    DvrCoreTestAccess::statusSummary(core_, stats_);
    EXPECT_EQ(summaries().size(), 1u);
    steady_ += 1s;
    DvrCoreTestAccess::statusSummary(core_, stats_);
    s = summaries();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_NE(s[1].find("memory[inuse:100MiB -50MiB] "), std::string::npos) << s[1];
    EXPECT_NE(s[1].find("ltm:0us ipc[r:0 p:0 d:0] srch[r:0 c:0 p:0 d:0]"), std::string::npos) << s[1];
    steady_ += 60s;
    DvrCoreTestAccess::statusSummary(core_, stats_);
    s = summaries();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_NE(s[2].find("memory[inuse:100MiB] "), std::string::npos) << s[2];
}

TEST_F(Summary, TopListsFiveLargestHoldersTiesByLowerId) {
    // Seven holders; ids 0x10 and 0x11 tie, 0x05 and 0x06 are cut. Core's
    // count is the queue's (no log line is queued yet) plus 7000.
    uint32_t const held[][2] = {{0x40, 9000}, {0x05, 1}, {0x11, 4000}, {0x10, 4000}, {0x06, 2}, {0x00, 7000}, {0x30, 5000}};
    for (auto const& [id, n] : held) oxmem::stats.refs[id] = n;
    DvrCoreTestAccess::statusSummary(core_, stats_);
    auto const s = summaries();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_TRUE(s[0].ends_with("top: unknown 9,000, Core 7,000, unknown 5,000, unknown 4,000, unknown 4,000")) << s[0];
    ASSERT_EQ(stats_.top.size(), 5u);
    EXPECT_EQ(stats_.top[3].first, 0x10u);
    EXPECT_EQ(stats_.top[4].first, 0x11u);
}

TEST_F(Summary, NoHoldersLeavesTopEmpty) {
    DvrCoreTestAccess::statusSummary(core_, stats_);
    auto const s = summaries();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_TRUE(s[0].ends_with(" top: ")) << s[0];
}

TEST_F(Summary, RaisedThresholdLogsNothingButStillResets) {
    // Only the core's threshold is raised, through its configuration hook,
    // which saves core.xml: work in a folder of our own.
    {
        TempDir dir("summary");
        dir.enter();
        std::string const delta = "<oREC x=\"abcdef\" Delta=\"1\"><Modules><Module><Plugin ID=\"-2147483648\" "
                                  "LogLevel=\"50\"/></Module></Modules></oREC>";
        auto e = Record(0x00270000u, OX_TYPE_CONFIG, ox::core::kLiveClass | ox::core::kXmlPayload).withText(delta);
        core_.updateConfig(e);
    }
    ASSERT_EQ(core_.logLevel(0u), 50);
    DvrCoreTestAccess::counters(core_).searchRequests = 4;
    stats_.events = 10;
    DvrCoreTestAccess::statusSummary(core_, stats_);
    EXPECT_TRUE(summaries().empty());
    EXPECT_EQ(DvrCoreTestAccess::counters(core_).searchRequests.load(), 0u);
    EXPECT_EQ(stats_.events, 0u);
}
