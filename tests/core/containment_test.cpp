// What the parent daemon relies on when plugins misbehave, through the real
// executable: every stop ends by the stop deadline plus three seconds, the
// exit status tells the truth, and a plugin's exception, exit or crash is
// contained or named.
#include "support/core_process.h"
#include "support/parent_end.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/resource.h>

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

/// The stop deadline these runs configure, and what the parent may wait at most.
constexpr auto kDeadline = std::chrono::seconds(3);
constexpr auto kGrace = std::chrono::seconds(3);
/// Room for a slow start-up and reaping under qemu or a sanitizer; the stops
/// that fail never end at all.
constexpr auto kSlack = std::chrono::seconds(4);

std::string slurp(std::filesystem::path const& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Containment : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.addFile("product.xml",
                      "<?xml version=\"1.0\"?>\n<Product Family=\"f\" Version=\"1\" StopDeadline=\"3\"/>\n");
    }
    std::string trace() const { return slurp(tree_.root() / "probe-trace.txt"); }
    bool traced(std::string const& text) {
        return waitUntil([&] { return trace().find(text) != std::string::npos; });
    }
    std::unique_ptr<CoreProcess> start(std::vector<std::string> const& args = {}, std::vector<int> const& fds = {}) {
        return std::make_unique<CoreProcess>(tree_.exe(), args, tree_.root(), fds);
    }
    /// Sends SIGTERM and waits for the end: its status, and that it came in time.
    ExitStatus stopInTime(CoreProcess& core) {
        core.signal(SIGTERM);
        auto const sent = Clock::now();
        ExitStatus const status = core.wait(std::chrono::seconds(30));
        auto const took = Clock::now() - sent;
        std::printf("SIGTERM to exit: %lld ms\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        EXPECT_LT(took, kDeadline + kGrace + kSlack) << core.out();
        return status;
    }

    ApplianceTree tree_;
    ScopedEnv env_;
};

} // namespace

TEST_F(Containment, AnOnEventThatNeverReturnsEndsTheStopAtTheDeadline) {
    env_.set("PROBE_Alpha_HANG_IN", "OnEvent");
    env_.set("PROBE_Probe_POST_COUNT", "2");
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Probe.so");
    auto core = start();
    ASSERT_TRUE(traced("Alpha OnEvent hangs")) << core->out();
    ExitStatus const status = stopInTime(*core);
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1);
    EXPECT_NE(core->out().find("stop deadline passed while delivering an alarm event to Alpha.so"), std::string::npos)
        << core->out();
}

TEST_F(Containment, AStuckParentReplyNeitherDeafensTheCoreNorHoldsUpItsEnd) {
    env_.set("PROBE_Asker_HANG_IN", "OnIpcResult");
    tree_.addPlugin("Asker.so");
    ParentEnd parent;
    auto core = start({std::to_string(parent.coreEnd())}, {parent.coreEnd()});
    parent.dropCoreEnd();
    ASSERT_TRUE(core->waitForOutput("Opening 19:Asker")) << core->out();
    parent.send(ipcPacket(0x300, 0x19u << OX_IPC_ROUTING_SHIFT, "stuck"));
    ASSERT_TRUE(traced("Asker OnIpcResult hangs")) << core->out();
    ExitStatus const status = stopInTime(*core); // taken although the I/O thread is inside the plugin
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 1) << core->out();
    EXPECT_NE(core->out().find("Asker.so left loaded"), std::string::npos) << core->out();
    EXPECT_NE(trace().find("Asker Close"), std::string::npos) << trace();
}

TEST_F(Containment, TheDeadlineLineIsWrittenEvenWhenTheLogPluginIsStuck) {
    // A stand-in for the log plugin that blocks on its storage once the stop is under way.
    env_.set("PROBE_LogKeeper_HANG_ON_LOG", "Closing");
    tree_.addPlugin("LogKeeper.so", "plugins", "LogPI.so");
    tree_.addPlugin("Probe.so");
    auto core = start();
    ASSERT_TRUE(core->waitForOutput("probe Probe open")) << core->out();
    ExitStatus const status = stopInTime(*core);
    EXPECT_EQ(status.code, 1) << core->out();
    EXPECT_NE(core->out().find("stop deadline passed while closing "), std::string::npos) << core->out();
}

TEST_F(Containment, AStopDuringStartUpLoadsNoFurtherPluginAndClosesWhatItOpened) {
    env_.set("PROBE_Alpha_SLEEP_IN", "Load");
    env_.set("PROBE_Alpha_SLEEP_MS", "1500");
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Beta.so");
    {
        auto core = start();
        ASSERT_TRUE(traced("Alpha Load sleeps")) << core->out();
        ExitStatus const status = stopInTime(*core);
        EXPECT_EQ(status.code, 0) << core->out();
        std::string const t = trace();
        EXPECT_EQ(t.find("Beta Load"), std::string::npos) << t;
        EXPECT_EQ(t.find("Alpha Open"), std::string::npos) << t;
        EXPECT_NE(t.find("Alpha Unload"), std::string::npos) << t;
    }
    // A Load that outlasts the deadline ends the process then, not when it returns.
    std::filesystem::remove(tree_.root() / "probe-trace.txt");
    env_.set("PROBE_Alpha_SLEEP_MS", "30000");
    auto core = start();
    ASSERT_TRUE(traced("Alpha Load sleeps")) << core->out();
    ExitStatus const status = stopInTime(*core);
    EXPECT_EQ(status.code, 1) << core->out();
    EXPECT_NE(core->out().find("stop deadline passed while loading Alpha.so"), std::string::npos) << core->out();
}

TEST_F(Containment, ExceptionsFromPluginsAreCaughtAndTheCoreRunsOn) {
    env_.set("ASAN_OPTIONS", "detect_leaks=0"); // the payloads kept by a throwing OnEvent are never given back
    env_.set("PROBE_Alpha_THROW_IN", "OnEvent,Close,Unload");
    env_.set("PROBE_Beta_THROW_IN", "Load");
    env_.set("PROBE_Gamma_THROW_IN", "Open");
    env_.set("PROBE_Asker_THROW_IN", "OnIpcResult");
    env_.set("PROBE_Probe_POST_COUNT", "3");
    for (char const* p : {"Alpha.so", "Beta.so", "Gamma.so", "Asker.so", "Probe.so"}) tree_.addPlugin(p);
    ParentEnd parent;
    auto core = start({std::to_string(parent.coreEnd())}, {parent.coreEnd()});
    parent.dropCoreEnd();
    ASSERT_TRUE(core->waitForOutput("probe Probe open")) << core->out();
    // The second reply arrives only if the channel posted its next read after the first threw.
    for (char const* head : {"first", "second"}) parent.send(ipcPacket(0x300, 0x19u << OX_IPC_ROUTING_SHIFT, head));
    ASSERT_TRUE(traced("head=second")) << trace();
    ASSERT_TRUE(waitUntil([&] {
        std::string const t = trace();
        size_t n = 0;
        for (size_t at = 0; (at = t.find("Alpha OnEvent throws", at)) != std::string::npos; ++at) ++n;
        return n >= 3; // and the core's memory alarm
    })) << trace();
    ExitStatus const status = stopInTime(*core);
    EXPECT_TRUE(status.exited) << "signal " << status.signal;
    EXPECT_EQ(status.code, 0);
    std::string const out = core->out();
    EXPECT_NE(out.find("Failed to load plugin Beta.so: Load threw: Beta threw in Load"), std::string::npos) << out;
    EXPECT_NE(out.find("Gamma threw in Open"), std::string::npos) << out;
    // Logged once per plugin, however often it throws.
    EXPECT_EQ(core->countOutput("Alpha threw in"), 1u) << out;
    // A throwing OnEvent kept its reference: the report names it at the default level.
    EXPECT_NE(out.find("Plugin 20:alpha unloaded holding "), std::string::npos) << out;
    EXPECT_NE(trace().find("Gamma Close"), std::string::npos) << trace();
}

TEST_F(Containment, APluginsExitStatusReachesTheParent) {
    // exit() with the core's threads running races and leaks by nature; the
    // sanitizers' end-of-process verdicts would replace the plugin's status.
    env_.set("ASAN_OPTIONS", "detect_leaks=0");
    env_.set("TSAN_OPTIONS", "report_bugs=0");
    env_.set("PROBE_Alpha_EXIT_IN", "OnEvent");
    env_.set("PROBE_Alpha_EXIT_CODE", "7");
    env_.set("PROBE_Probe_POST_COUNT", "1");
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Probe.so");
    auto core = start();
    ExitStatus const status = core->wait();
    EXPECT_TRUE(status.exited) << "signal " << status.signal << "\n" << core->out();
    EXPECT_EQ(status.code, 7);
}

TEST_F(Containment, ACrashInAPluginIsNamedOnTheConsoleAndInTheLogFolder) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer defers and rewrites signal handlers";
#endif
    env_.set("ASAN_OPTIONS", "handle_segv=0:handle_abort=0:allow_user_segv_handler=1");
    env_.set("PROBE_Alpha_CRASH_IN", "OnEvent");
    env_.set("PROBE_Probe_POST_COUNT", "1");
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Probe.so");
    auto core = start();
    ExitStatus const status = core->wait();
    EXPECT_FALSE(status.exited);
    EXPECT_EQ(status.signal, SIGSEGV);
    std::string const line = "fatal signal SIGSEGV (address 0x10) in plugin Alpha.so, OnEvent, delivering an alarm event";
    EXPECT_NE(core->out().find(line), std::string::npos) << core->out();
    EXPECT_NE(slurp(tree_.root() / "log" / "crash.log").find(line), std::string::npos);
}

TEST_F(Containment, OnePluginIdOneHolder) {
    // The log plugin's id, and the two forms of id 0.
    for (char const* p : {"LogKeeper.so", "CoreWord.so", "Zero.so"}) tree_.addPlugin(p);
    auto core = start();
    ASSERT_TRUE(core->waitForOutput("Opening 00:CoreWord")) << core->out();
    ExitStatus const status = stopInTime(*core);
    EXPECT_EQ(status.code, 0);
    std::string const out = core->out();
    EXPECT_NE(out.find("pluginId 01 already loaded from LogPI.so trying to load \"LogKeeper.so\""), std::string::npos)
        << out;
    EXPECT_NE(out.find("pluginId 00 already loaded from CoreWord.so trying to load \"Zero.so\""), std::string::npos)
        << out;
}

TEST_F(Containment, TheLogPluginClosesLastAndHearsOfHeldReferences) {
    env_.set("ASAN_OPTIONS", "detect_leaks=0"); // its payloads are kept for ever on purpose
    // "Zulu.so" sorts after "LogPI.so" at the same close priority.
    env_.set("PROBE_Alpha_KEEP_FOREVER", "1");
    env_.set("PROBE_Probe_POST_COUNT", "2");
    tree_.addPlugin("Alpha.so", "plugins", "Zulu.so");
    tree_.addPlugin("Probe.so");
    auto core = start();
    ASSERT_TRUE(core->waitForOutput("probe Alpha open")) << core->out(); // Zulu opens after Probe
    EXPECT_EQ(stopInTime(*core).code, 0);
    std::string const log = slurp(tree_.root() / "log" / "dvrcore.log");
    EXPECT_NE(log.find("Closing 20:Zulu"), std::string::npos) << log;
    EXPECT_NE(log.find("Unloading 20:Zulu"), std::string::npos) << log;
    EXPECT_NE(log.find("Plugin 20:zulu unloaded holding "), std::string::npos) << log;
}

TEST_F(Containment, StraySignalsAndAPluginsOwnHandlerLeaveTheStopToTheCore) {
    env_.set("PROBE_Alpha_OWN_SIGTERM", "1");
    env_.set("PROBE_Alpha_DUMP_CONFIG", "1");
    tree_.addPlugin("Alpha.so");
    ChildLimit fileSize(RLIMIT_FSIZE, 2048); // inherited, and soon reached by the log file
    auto core = start();
    // Past its Open (the configuration document comes after every Open): a
    // signal inside its own Open may well reach the handler it unblocked there.
    ASSERT_TRUE(traced("dumped config-1.xml")) << core->out();
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ}) core->signal(sig);
    ExitStatus const status = stopInTime(*core);
    EXPECT_TRUE(status.exited) << "signal " << status.signal;
    EXPECT_EQ(status.code, 0);
    std::string const t = trace();
    EXPECT_NE(t.find("Alpha Close"), std::string::npos) << t;
    EXPECT_EQ(t.find("own SIGTERM handler ran"), std::string::npos) << t;
}

TEST_F(Containment, AThreadTheCoreCannotCreateIsAFailedStart) {
    // Thread stacks take the stack limit's size: this one cannot be mapped.
    if (!launcher().empty()) GTEST_SKIP() << "qemu maps the guest's stack from the same limit";
    if (kSanitized) GTEST_SKIP() << "the sanitizer runtimes size their own stacks from the same limit";
    ChildLimit stack(RLIMIT_STACK, 64ull << 30);
    auto core = start();
    ExitStatus const status = core->wait();
    EXPECT_TRUE(status.exited) << "signal " << status.signal;
    EXPECT_EQ(status.code, 2);
    EXPECT_NE(core->out().find("cannot start the console thread"), std::string::npos) << core->out() << core->err();
}
