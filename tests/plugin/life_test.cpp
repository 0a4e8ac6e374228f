// Plugins at the edges of their life, through the real executable: parent
// replies during Close and never after Unload has begun, searches that end
// when their provider closes, the stop deadline, references handed back
// wrongly, and a plugin thread that posts after the core has shut down.
#include "support/core_process.h"
#include "support/parent_end.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>

using namespace testing_support;

namespace {

constexpr uint32_t kLifeId = 0x21;

class Life : public ::testing::Test {
protected:
    std::string trace() {
        std::ifstream in(tree_.root() / "probe-trace.txt");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool traced(std::string const& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return waitUntil([&] { return trace().find(text) != std::string::npos; }, timeout);
    }
    std::unique_ptr<CoreProcess> start(std::vector<std::string> const& args = {}, std::vector<int> const& fds = {}) {
        tree_.addPlugin("Life.so");
        auto p = std::make_unique<CoreProcess>(tree_.exe(), args, tree_.root(), fds);
        EXPECT_TRUE(p->waitForOutput("life open")) << p->out() << p->err();
        return p;
    }

    ApplianceTree tree_;
    ScopedEnv env_;
};

} // namespace

TEST_F(Life, RepliesReachAClosingPluginAndNeverOneBeingUnloaded) {
    env_.set("LIFE_CLOSE_WAITS_REPLY", "1");
    env_.set("LIFE_SLOW_UNLOAD_MS", "500");
    ParentEnd parent;
    auto core = start({std::to_string(parent.coreEnd())}, {parent.coreEnd()});
    parent.dropCoreEnd();
    core->signal(SIGTERM);
    // The request Close sends, answered while the plugin is inside its Close.
    auto const request = parent.next();
    ASSERT_TRUE(request) << core->out();
    std::string const reply = ipcPacket(0x300, kLifeId << OX_IPC_ROUTING_SHIFT, "ok");
    parent.send(reply);
    ASSERT_TRUE(traced("unload begin")) << trace();
    parent.send(reply); // arrives while Unload runs: must never reach the plugin
    EXPECT_EQ(core->wait().code, 0);
    std::string const t = trace();
    EXPECT_NE(t.find("close got its reply"), std::string::npos) << t;
    EXPECT_EQ(t.find("reply after unload"), std::string::npos) << t;
}

TEST_F(Life, SearchesThatEndWhenTheirProviderClosesDoNotHoldUpTheStop) {
    env_.set("LIFE_SEARCH_UNTIL_CLOSE", "1");
    auto core = start();
    ASSERT_TRUE(traced("search")) << trace();
    core->signal(SIGTERM);
    EXPECT_EQ(core->wait(std::chrono::seconds(15)).code, 0) << core->out();
    std::string const t = trace();
    EXPECT_LT(t.find("close begin"), t.find("search end")) << t;
    EXPECT_LT(t.find("search end"), t.find("unload begin")) << t;
}

TEST_F(Life, TheStopDeadlineDropsTheBacklogAndLeavesABusyProviderLoaded) {
    tree_.addFile("product.xml", "<?xml version=\"1.0\"?>\n<Product Family=\"f\" Version=\"1\" StopDeadline=\"1\"/>");
    env_.set("LIFE_SEARCH_FOREVER", "1");
    env_.set("LIFE_SLOW_MS", "100");
    env_.set("PROBE_Probe_POST_COUNT", "300"); // alarms: 30 s of work for the slow consumer
    tree_.addPlugin("Probe.so");
    auto core = start();
    ASSERT_TRUE(traced("search")) << trace();
    ASSERT_TRUE(core->waitForOutput("probe Probe open")); // the backlog is queued
    core->signal(SIGTERM);
    auto const stopped = std::chrono::steady_clock::now();
    // A plugin left loaded did not finish in time: the status says so.
    EXPECT_EQ(core->wait(std::chrono::seconds(20)).code, 1) << core->out();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(15));
    std::string const out = core->out();
    EXPECT_NE(out.find("dropped undelivered"), std::string::npos) << out;
    EXPECT_NE(out.find("Life.so left loaded"), std::string::npos) << out;
    // Every other plugin is closed and unloaded as usual.
    auto const probe = tree_.probeTrace();
    EXPECT_NE(std::find(probe.begin(), probe.end(), "Probe Unload"), probe.end());
}

TEST_F(Life, ACloseThatNeverReturnsEndsTheProcessAfterTheDeadline) {
    tree_.addFile("product.xml", "<?xml version=\"1.0\"?>\n<Product Family=\"f\" Version=\"1\" StopDeadline=\"1\"/>");
    env_.set("LIFE_CLOSE_FOREVER", "1");
    auto core = start();
    core->signal(SIGTERM);
    EXPECT_EQ(core->wait(std::chrono::seconds(20)).code, 1);
    EXPECT_NE(core->out().find("stop deadline passed while closing Life.so"), std::string::npos) << core->out();
}

TEST_F(Life, ReferencesHandedBackWronglyAreRefusedAndReportedOnce) {
    env_.set("LIFE_MISUSE", "1");
    env_.set("PROBE_Probe_POST_COUNT", "3");
    tree_.addPlugin("Probe.so");
    auto core = start();
    ASSERT_TRUE(traced("misuse")) << trace();
    core->signal(SIGTERM);
    EXPECT_EQ(core->wait().code, 0);
    EXPECT_NE(trace().find("misuse first=0 twice=1 middle=1 foreign=1 null=1"), std::string::npos) << trace();
    EXPECT_EQ(core->countOutput("released a payload reference it does not hold"), 1u) << core->out();
}

TEST_F(Life, APluginThreadPostingAfterShutdownIsRefused) {
    env_.set("LIFE_POST_AFTER_UNLOAD", "1");
    auto core = start();
    core->signal(SIGTERM);
    auto const status = core->wait();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0) << core->err();
    EXPECT_EQ(core->err().find("ERROR"), std::string::npos) << core->err();
}
