// The development parent daemon end to end: it starts the core, relays and
// answers requests, stops the core and hands back its exit status.
#include "dvrcore/event_parms.h"
#include "support/core_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace testing_support;

namespace {

std::filesystem::path const kDaemon = std::filesystem::path(DVR_BIN_DIR) / "orveld-dev";

class OrveldDev : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("PROBE_Asker_IPC_ACK");
        ::setenv("PROBE_Asker_POST_TYPE", std::to_string(OX_TYPE_IPC).c_str(), 1);
        ::setenv("PROBE_Asker_POST_COUNT", "2", 1);
        tree_.addPlugin("Asker.so");
    }
    void TearDown() override {
        ::unsetenv("PROBE_Asker_POST_TYPE");
        ::unsetenv("PROBE_Asker_POST_COUNT");
    }
    /// `core` false: the command is a host program, not the (perhaps cross-built) core.
    std::unique_ptr<CoreProcess> daemon(std::vector<std::string> args, bool core = true) {
        // A cross-built core runs under the build's emulator, like the daemon itself.
        if (core && !std::string(DVR_TEST_LAUNCHER).empty()) args.insert(args.begin(), {"-l", DVR_TEST_LAUNCHER});
        return std::make_unique<CoreProcess>(kDaemon, args, tree_.root());
    }
    ApplianceTree tree_;
};

} // namespace

TEST_F(OrveldDev, PrintsAndEchoesRequestsAndStopsTheCoreOnSigterm) {
    auto d = daemon({"-c", tree_.exe().string(), "-e", "-v", "9.9"});
    // Asker's two requests (16-byte payloads "000000xxxxxxxxxx", "000001ZZZ...") are
    // printed, echoed back as results, and Asker logs each result it gets.
    EXPECT_TRUE(d->waitForOutput(
        "orveld-dev: request length=32 routing=0x01900000 plugin=19 type=256 word3=0x00000000 "
        "payload=30303030303078787878787878787878 |000000xxxxxxxxxx|"))
        << d->out();
    EXPECT_TRUE(d->waitForOutput("probe Asker result 000000")) << d->out();
    EXPECT_TRUE(d->waitForOutput("probe Asker result 000001")) << d->out();
    d->signal(SIGTERM);
    auto st = d->wait();
    EXPECT_TRUE(st.exited);
    EXPECT_EQ(st.code, 0) << d->out() << d->err();
    EXPECT_NE(d->out().find("orveld-dev: stop sent"), std::string::npos);
    EXPECT_NE(d->out().find("Closing 19:Asker"), std::string::npos) << d->out();
    EXPECT_EQ(d->out().find("disconnected"), std::string::npos) << d->out();
}

TEST_F(OrveldDev, TimedStopAndBackgroundOption) {
    auto d = daemon({"-c", tree_.exe().string(), "-q", "-t", "0", "-o", "Background:true"});
    auto st = d->wait();
    EXPECT_EQ(st.code, 0) << d->err();
    // -q keeps the daemon quiet; Background:true keeps the core off the console
    // once the identity is read. The log file still gets everything. An
    // immediate stop may come before Asker is loaded; the log plugin is loaded
    // before the parent is read, so its close is always there.
    EXPECT_EQ(d->out().find("Closing 01:LogPI"), std::string::npos) << d->out();
    std::ifstream in(tree_.root() / "log/dvrcore.log");
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Closing 01:LogPI"), std::string::npos) << log;
}

TEST_F(OrveldDev, ForwardsTheExitStatusAndHasUsage) {
    auto f = daemon({"-c", "/bin/false"}, false);
    EXPECT_EQ(f->wait().code, 1);
    auto m = daemon({"-c", (tree_.root() / "missing").string()}, false);
    EXPECT_EQ(m->wait().code, 127);
    EXPECT_NE(m->err().find("cannot start"), std::string::npos);
    auto h = daemon({"-h"});
    EXPECT_EQ(h->wait().code, 0);
    EXPECT_NE(h->out().find("Usage: "), std::string::npos);
    EXPECT_NE(h->out().find("-e "), std::string::npos);
}
