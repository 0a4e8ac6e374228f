// Log records through the core executable: a console that stops draining, the
// console tags, and the log plugin while the core stops.
#include "support/core_process.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <regex>

using namespace testing_support;

namespace {

constexpr int kEchoes = 6000; // console lines: far more than a pipe and the console's buffer hold

// The core's output is a pipe here: lines carry no colour codes.
std::string tagged(std::string const& tag) { return " " + tag + " "; }

class Logging : public ::testing::Test {
protected:
    std::string logFile() {
        std::ifstream in(tree_.root() / "log/dvrcore.log");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    /// Polls the log file, which has no descriptor to wait on, until `text` is in it.
    bool logFileHas(std::string const& text) {
        return waitUntil([&] { return logFile().find(text) != std::string::npos; }, 30s);
    }
    /// Alpha echoes each of its own alarms as a log line; nobody reads standard output.
    std::unique_ptr<CoreProcess> startStalled() {
        env_.set("PROBE_Alpha_POST_COUNT", std::to_string(kEchoes));
        env_.set("PROBE_Alpha_ECHO", "1");
        tree_.addPlugin("Alpha.so");
        auto p = std::make_unique<CoreProcess>(tree_.exe(), std::vector<std::string>{}, tree_.root(),
                                               std::vector<int>{}, false, true);
        // Every echo has passed the console once the log file has the last one.
        EXPECT_TRUE(logFileHas("echo 005999"));
        return p;
    }

    ScopedEnv env_;
    ApplianceTree tree_;
};

} // namespace

TEST_F(Logging, StalledConsoleNeitherBlocksTheCoreNorCostsLogRecords) {
    auto p = startStalled();
    p->signal(SIGTERM);
    auto st = p->wait(20s);
    EXPECT_TRUE(st.exited) << "killed by signal " << st.signal;
    EXPECT_EQ(st.code, 0);
    std::string const text = logFile();
    std::regex const echo(" 20 echo \\d{6}\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), echo), std::sregex_iterator()), kEchoes);
}

TEST_F(Logging, StalledConsoleReportsDroppedLinesWhenItDrainsAgain) {
    auto p = startStalled();
    p->resumeOutput();
    ASSERT_TRUE(p->waitForOutput(" line(s) dropped\n"));
    // Every line shown or counted; a burst may also have outrun the console
    // before it stalled, so every note counts.
    std::regex const note("\nconsole: (\\d+) line\\(s\\) dropped\n");
    size_t shown = 0, dropped = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            std::string const out = p->out();
            dropped = 0;
            for (auto it = std::sregex_iterator(out.begin(), out.end(), note); it != std::sregex_iterator(); ++it)
                dropped += std::stoul((*it)[1]);
            shown = p->countOutput(tagged("alpha") + "echo ");
            return shown + dropped >= static_cast<size_t>(kEchoes);
        },
        30s))
        << shown << " shown, " << dropped << " dropped";
    EXPECT_GT(dropped, 0u);
    p->signal(SIGTERM);
    EXPECT_TRUE(p->waitForOutput("Unloading 20:Alpha")); // and the console goes on
    EXPECT_EQ(p->wait().code, 0);
}

TEST_F(Logging, PluginWithoutIdLeavesTheCoreTagAlone) {
    tree_.addPlugin("Zero.so");
    tree_.addPlugin("Probe.so");
    CoreProcess p(tree_.exe(), {}, tree_.root());
    ASSERT_TRUE(p.waitForOutput("probe Probe open"));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait().code, 0);
    std::string const out = p.out();
    EXPECT_NE(out.find("Loaded plugin 00:Zero"), std::string::npos) << out;
    EXPECT_NE(out.find(tagged("core") + "Opening 10:Probe"), std::string::npos) << out;
    EXPECT_EQ(out.find(tagged("zero")), std::string::npos) << out;
}

TEST_F(Logging, LogPluginKeepsRecordsHandedToItWhileTheCoreStops) {
    // The stand-in log plugin keeps every record and logs about each one.
    tree_.addPlugin("LogKeeper.so", "plugins", "LogPI.so");
    tree_.addPlugin("Probe.so");
    CoreProcess p(tree_.exe(), {}, tree_.root());
    ASSERT_TRUE(p.waitForOutput("probe Probe open"));
    p.signal(SIGTERM);
    auto st = p.wait();
    EXPECT_TRUE(st.exited) << "killed by signal " << st.signal;
    EXPECT_EQ(st.code, 0);
    auto const trace = tree_.probeTrace();
    auto has = [&](auto pred) { return std::any_of(trace.begin(), trace.end(), pred); };
    auto starts = [](std::string const& l, std::string const& s) { return l.rfind(s, 0) == 0; };
    // "Closing" is logged after the dispatcher has stopped.
    EXPECT_TRUE(has([&](auto& l) { return starts(l, "LogKeeper OnEvent type=64") && l.ends_with("head=Closin"); }));
    // Never its own records (source 0x00010001).
    EXPECT_FALSE(has([&](auto& l) { return starts(l, "LogKeeper OnEvent") && l.find(" source=65537 ") != l.npos; }));
    EXPECT_TRUE(has([&](auto& l) { return starts(l, "LogKeeper released "); }));
    // What it kept were the core's blocks, all given back.
    EXPECT_EQ(p.out().find("refblks: "), std::string::npos) << p.out();
}
