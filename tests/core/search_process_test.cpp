// Searches through the real executable and real plugins: one thread per
// provider, results only to the requester, pacing of each search thread by
// the release of its previous result, cancel, id reuse, nested requests, and
// stopping while searches run (also while one waits for a kept result), and
// the cap on the searches one provider runs at once.
#include "dvrcore/event_parms.h"
#include "support/core_process.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <set>

using namespace testing_support;

namespace {

/// Alpha asks with id 0x00200000 | n.
uint32_t alphaId(uint32_t n) { return 0x00200000u | n; }

/// The head a provider writes into result i of request `id`.
std::string head(char provider, uint32_t id, int i) {
    char b[16];
    std::snprintf(b, sizeof b, "%c%u%04d", provider, id % 10u, i);
    return b;
}

class SearchProcess : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure()) { // the plugins' own account helps more than the assertion
            auto const t = trace();
            for (size_t i = 0; i < t.size() && i < 300; ++i) std::fprintf(stderr, "trace %zu: %s\n", i, t[i].c_str());
        }
    }
    void set(std::string const& name, std::string const& value) { env_.set(name, value); }
    std::vector<std::string> trace() { return tree_.probeTrace(); }
    /// Index of the first trace line equal to `line` (or starting with it when `prefix`), -1 if none.
    long at(std::vector<std::string> const& t, std::string const& line, bool prefix = false) {
        for (size_t i = 0; i < t.size(); ++i)
            if (prefix ? t[i].rfind(line, 0) == 0 : t[i] == line) return static_cast<long>(i);
        return -1;
    }
    size_t count(std::vector<std::string> const& t, std::string const& prefix) {
        size_t n = 0;
        for (auto const& l : t) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::unique_ptr<CoreProcess> start() {
        return std::make_unique<CoreProcess>(tree_.exe(), std::vector<std::string>{}, tree_.root());
    }
    void stop(CoreProcess& p) {
        p.signal(SIGTERM);
        auto const st = p.wait();
        EXPECT_TRUE(st.exited);
        EXPECT_EQ(st.code, 0) << p.out() << p.err();
    }
    ApplianceTree tree_;
    ScopedEnv env_;
};

} // namespace

TEST_F(SearchProcess, OneThreadPerProviderResultsOnlyToTheRequester) {
    for (auto n : {"Alpha.so", "Beta.so", "Finder.so", "Seeker.so", "LogReader.so", "Threads.so"}) tree_.addPlugin(n);
    uint32_t const id = alphaId(7);
    set("PROBE_Alpha_SEARCH_REQUEST", "7");
    set("PROBE_Finder_SEARCH_RESULTS", "3");
    set("PROBE_Finder_SEARCH_NESTED", "1");
    set("PROBE_Seeker_SEARCH_RESULTS", "3");
    auto p = start();
    ASSERT_TRUE(p->waitForOutput("probe Alpha got " + head('F', id, 2))) << p->out();
    ASSERT_TRUE(p->waitForOutput("probe Alpha got " + head('S', id, 2))) << p->out();
    stop(*p);

    auto const t = trace();
    EXPECT_GE(at(t, "Alpha search request result=0"), 0);
    // Each provider ran the request once, on a thread of its own, with a copy of the 40-byte query.
    std::string const onSearch = " OnSearch id=" + std::to_string(id) + " len=40 thread=";
    ASSERT_EQ(count(t, "Finder" + onSearch), 1u);
    ASSERT_EQ(count(t, "Seeker" + onSearch), 1u);
    auto thread = [&](std::string const& who) {
        return t[static_cast<size_t>(at(t, who + onSearch, true))].substr((who + onSearch).size());
    };
    EXPECT_NE(thread("Finder"), thread("Seeker"));
    // The reader with a search bit serves through Read; the one without is no provider.
    EXPECT_GE(at(t, "LogReader Read search len=40"), 0);
    EXPECT_LT(at(t, "Threads Read search", true), 0);
    // A search thread cannot start a search: taken, nothing more ran.
    EXPECT_GE(at(t, "Finder nested request result=0"), 0);
    // Stored results reached Alpha only, in each provider's order.
    EXPECT_EQ(count(t, "Beta OnEvent type=1 "), 0u);
    for (char who : {'F', 'S'}) {
        long last = -1;
        for (int i = 0; i < 3; ++i) {
            long const got = at(t, "Alpha got " + head(who, id, i));
            EXPECT_GT(got, last) << who << i;
            last = got;
        }
    }
}

TEST_F(SearchProcess, NextResultWaitsForTheDispatcherToReleaseThePrevious) {
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Finder.so");
    uint32_t const id = alphaId(3);
    set("PROBE_Alpha_SEARCH_REQUEST", "3");
    set("PROBE_Finder_SEARCH_RESULTS", "20");
    auto p = start();
    ASSERT_TRUE(p->waitForOutput("probe Finder search " + std::to_string(id) + " done after 20")) << p->out();
    stop(*p);
    auto const t = trace();
    for (int i = 1; i < 20; ++i) {
        long const delivered = at(t, "Alpha got " + head('F', id, i - 1));
        long const posted = at(t, "Finder search " + std::to_string(id) + " posted " + std::to_string(i) + " result=0");
        ASSERT_GE(delivered, 0) << i;
        EXPECT_LT(delivered, posted) << i;
    }
}

TEST_F(SearchProcess, NextResultWaitsForAKeptResultsDecref) {
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Finder.so");
    uint32_t const id = alphaId(4);
    set("PROBE_Alpha_SEARCH_REQUEST", "4");
    set("PROBE_Alpha_RELEASE_RESULTS", "20"); // keeps each result, gives it back 20 ms later
    set("PROBE_Finder_SEARCH_RESULTS", "5");
    auto p = start();
    ASSERT_TRUE(p->waitForOutput("probe Finder search " + std::to_string(id) + " done after 5")) << p->out();
    stop(*p);
    auto const t = trace();
    for (int i = 1; i < 5; ++i) {
        long const released = at(t, "Alpha release " + head('F', id, i - 1));
        long const posted = at(t, "Finder search " + std::to_string(id) + " posted " + std::to_string(i) + " result=0");
        ASSERT_GE(released, 0) << i;
        EXPECT_LT(released, posted) << i;
    }
    EXPECT_EQ(p->out().find("refblks: "), std::string::npos);
}

TEST_F(SearchProcess, StopReleasesASearchWaitingForAResultNeverGivenBack) {
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Finder.so");
    uint32_t const id = alphaId(5);
    set("PROBE_Alpha_SEARCH_REQUEST", "5");
    set("PROBE_Alpha_KEEP", "1"); // gives its references back only at Unload, after the searches ended
    set("PROBE_Finder_SEARCH_RESULTS", "3");
    auto p = start();
    ASSERT_TRUE(p->waitForOutput("probe Alpha got " + head('F', id, 0))) << p->out();
    stop(*p); // Finder's second post waits until the stop refuses it
    auto const t = trace();
    std::string const posted = "Finder search " + std::to_string(id) + " posted ";
    EXPECT_GE(at(t, posted + "0 result=0"), 0);
    EXPECT_GE(at(t, posted + "1 result=1"), 0);
    EXPECT_LT(at(t, posted + "2 "), 0);
    // Searches may still run while their provider closes, never once it unloads.
    EXPECT_LT(at(t, "Finder search " + std::to_string(id) + " done after 1"), at(t, "Finder Unload"));
}

TEST_F(SearchProcess, CancelEndsTheSearchAndTheIdCanBeUsedAgain) {
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Finder.so");
    tree_.addPlugin("Seeker.so");
    uint32_t const id = alphaId(9);
    set("PROBE_Alpha_SEARCH_REQUEST", "9");
    set("PROBE_Alpha_SEARCH_CANCEL", "1");
    set("PROBE_Alpha_SEARCH_REPEAT", "1");
    set("PROBE_Finder_SEARCH_UNTIL_CANCEL", "1");
    set("PROBE_Seeker_SEARCH_UNTIL_CANCEL", "1");
    set("PROBE_Finder_SEARCH_ANNOUNCE", "1"); // Alpha asks again once a first search has ended
    set("PROBE_Seeker_SEARCH_ANNOUNCE", "1");
    auto p = start();
    ASSERT_TRUE(p->waitForOutput(" search " + std::to_string(id) + " done after ")) << p->out(); // ended by the cancel
    // The repeated request runs again: both providers start a second time.
    std::string const onSearch = " OnSearch id=" + std::to_string(id) + " ";
    for (auto who : {"Finder", "Seeker"})
        ASSERT_TRUE(p->waitForOutput(std::string("probe ") + who + " search " + std::to_string(id) + " start 2")) << p->out();
    auto t = trace();
    ASSERT_EQ(count(t, "Finder" + onSearch), 2u);
    ASSERT_EQ(count(t, "Seeker" + onSearch), 2u);
    stop(*p); // the second searches run until the stop answers their cancel query
    t = trace();
    EXPECT_GE(at(t, "Alpha cancel result=0"), 0);
    EXPECT_GE(at(t, "Alpha repeat result=0"), 0);
    EXPECT_EQ(count(t, "Finder search " + std::to_string(id) + " done after"), 2u);
    EXPECT_EQ(count(t, "Seeker search " + std::to_string(id) + " done after"), 2u);
}

TEST_F(SearchProcess, RequestWithoutProvidersIsTaken) {
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Threads.so");
    set("PROBE_Alpha_SEARCH_REQUEST", "2");
    auto p = start();
    ASSERT_TRUE(p->waitForOutput("probe Alpha search request result=0")) << p->out();
    stop(*p);
    auto const t = trace();
    EXPECT_GE(at(t, "Alpha search request result=0"), 0);
    EXPECT_LT(at(t, "Threads Read search", true), 0);
}

TEST_F(SearchProcess, EachProviderRunsAtMostEightSearchesAtOnce) {
    for (auto n : {"Alpha.so", "Finder.so", "Seeker.so"}) tree_.addPlugin(n);
    set("PROBE_Alpha_SEARCH_REQUEST", "1");
    set("PROBE_Alpha_SEARCH_REQUESTS", "10");
    set("PROBE_Finder_SEARCH_HOLD", "1"); // each search holds its thread until the stop
    set("PROBE_Seeker_SEARCH_HOLD", "1");
    auto p = start();
    // Every request is decided by the time Alpha's posts return.
    ASSERT_TRUE(p->waitForOutput("probe Alpha search requests done")) << p->out();
    auto started = [&](std::string const& who) { return count(trace(), who + " OnSearch id="); };
    waitUntil([&] { return started("Finder") >= 8 && started("Seeker") >= 8; }); // the counts below judge
    stop(*p);
    for (auto who : {"Finder", "Seeker"}) {
        EXPECT_EQ(started(who), 8u) << who; // the cap is per provider
        std::string const refused = std::string(" not started on ") + who + ".so: it runs 8 searches already";
        EXPECT_EQ(p->countOutput(refused), 1u) << p->out(); // once until one of its searches ends
    }
    EXPECT_EQ(count(trace(), "Alpha search request result=0"), 10u);
}
