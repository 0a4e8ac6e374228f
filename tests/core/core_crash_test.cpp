// The core killed at random moments around the saves of core.xml (at start-up
// and after a delta): the next start reads a whole core.xml with either the
// old or the new level.
#include "support/core_process.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

using namespace testing_support;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTrials = 40;
constexpr char kLevels[] = "LogLevel=\"";

std::string slurp(fs::path const& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string delta(int level) {
    return "<?xml?>\n<oREC Delta=\"1\">\n<Modules><Module><Plugin ID=\"1048576\" LogLevel=\"" + std::to_string(level) +
           "\"/></Module></Modules></oREC>";
}

/// The Probe plugin's level in a published document, or -2 when it has none.
int probeLevel(std::string const& doc) {
    auto at = doc.find("Filename=\"Probe.so\"");
    if (at == std::string::npos || (at = doc.find(kLevels, at)) == std::string::npos) return -2;
    return std::atoi(doc.c_str() + at + sizeof kLevels - 1);
}

class CoreCrash : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.addPlugin("Probe.so");
        tree_.addFile("product.xml", "<?xml version=\"1.0\"?>\n<Product Family=\"Fam\" Version=\"1.2\"/>\n");
        tree_.addFile("core.xml", "<?xml version=\"1.0\"?>\n<oREC><Modules><Module><Plugin ID=\"1048576\" LogLevel=\"50\"/>"
                                  "</Module></Modules></oREC>\n");
        env_.set("PROBE_Probe_DUMP_CONFIG", "1");
    }
    bool traced(std::string const& text) { return slurp(tree_.root() / "probe-trace.txt").find(text) != std::string::npos; }
    /// Output of a run that was killed `after` its start, or once `until` is traced.
    std::string runAndKill(Clock::duration after, std::string const& until = "") {
        CoreProcess p(tree_.exe(), {}, tree_.root());
        if (until.empty())
            std::this_thread::sleep_for(after); // the random moment of the kill
        else
            EXPECT_TRUE(waitUntil([&] { return traced(until); })) << p.out();
        p.signal(SIGKILL);
        EXPECT_EQ(p.wait().signal, SIGKILL);
        // Whatever the run got to read, it must have been core.xml as saved.
        EXPECT_FALSE(fs::exists(tree_.root() / "core.xml.bad"));
        return p.out();
    }
    void clearTraces() {
        for (char const* f : {"probe-trace.txt", "config-1.xml", "config-2.xml"}) fs::remove(tree_.root() / f);
    }
    ApplianceTree tree_;
    ScopedEnv env_;
};

} // namespace

TEST_F(CoreCrash, KilledAroundASaveRestartsWithTheOldOrTheNewLevel) {
    // Two first runs time the start-up and its two saves (the shorter counts:
    // the first start is a cold one); the kills fall in the second half of
    // that span and a little after, where the saves are.
    auto span = Clock::duration::max();
    for (int level : {75, 50}) {
        env_.set("PROBE_Probe_DELTA", delta(level));
        auto const start = Clock::now();
        runAndKill({}, "dumped config-2.xml");
        span = std::min(span, Clock::now() - start);
        ASSERT_EQ(probeLevel(slurp(tree_.root() / "config-2.xml")), level);
        clearTraces();
    }

    std::mt19937 rng(std::random_device{}());
    long const spanUs = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
    std::uniform_int_distribution<long> at(spanUs / 2, spanUs + spanUs / 4);
    int level = 50, sideLeft = 0, changed = 0;
    for (int trial = 0; trial < kTrials && !HasFailure(); ++trial) {
        int const wanted = level == 50 ? 75 : 50;
        env_.set("PROBE_Probe_DELTA", delta(wanted));
        std::string out = runAndKill(std::chrono::microseconds(at(rng)));
        EXPECT_EQ(out.find("Config defaulted"), std::string::npos) << out;
        sideLeft += fs::exists(tree_.root() / "core.xml.pending");
        clearTraces();

        ::unsetenv("PROBE_Probe_DELTA");
        out = runAndKill({}, "dumped config-1.xml");
        EXPECT_EQ(out.find("Config defaulted"), std::string::npos) << "trial " << trial << '\n' << out;
        int const loaded = probeLevel(slurp(tree_.root() / "config-1.xml"));
        ASSERT_TRUE(loaded == level || loaded == wanted) << "trial " << trial << ": level " << loaded;
        changed += loaded != level;
        level = loaded;
        clearTraces();
    }
    std::printf("%d trials killed %ld to %ld us after the start: %d left a side file, %d took the new level\n", kTrials,
                at.min(), at.max(), sideLeft, changed);
}
