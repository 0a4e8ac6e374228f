// The plugin set in the real executable: load order, duplicate ids, failed
// plugins, id 6 first, close order and the early release of id 8.
#include "support/core_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

using namespace testing_support;

namespace {

class PluginSet : public ::testing::Test {
protected:
    ApplianceTree tree_;
    std::vector<std::string> calls() {
        std::ifstream in(tree_.root() / "probe-trace.txt");
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) {
            std::istringstream words(l);
            std::string name, entry;
            words >> name >> entry;
            out.push_back(name + " " + entry);
        }
        return out;
    }
    long pos(std::vector<std::string> const& c, std::string const& s) {
        auto it = std::find(c.begin(), c.end(), s);
        EXPECT_NE(it, c.end()) << s;
        return it - c.begin();
    }
    std::string runUntilOpen(std::string const& lastOpened) {
        CoreProcess p(tree_.exe(), {}, tree_.root());
        EXPECT_TRUE(p.waitForOutput("probe " + lastOpened + " open")) << p.out();
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait().code, 0);
        return p.out();
    }
};

} // namespace

TEST_F(PluginSet, LoadOpenCloseOrders) {
    tree_.addPlugin("Alpha.so");
    tree_.addPlugin("Beta.so"); // close priority 5: closed first
    tree_.addPlugin("Gamma.so");
    tree_.addPlugin("Six.so");  // id 6: first in the event order
    tree_.addPlugin("Eight.so"); // id 8: released before the others close
    std::string const out = runUntilOpen("Gamma");

    EXPECT_NE(out.find("Loaded plugin 20:Alpha"), std::string::npos) << out;
    auto c = calls();
    // Loaded by name, opened in event order with id 6 first.
    EXPECT_LT(pos(c, "Alpha Load"), pos(c, "Beta Load"));
    EXPECT_LT(pos(c, "Eight Load"), pos(c, "Gamma Load"));
    EXPECT_LT(pos(c, "Gamma Load"), pos(c, "Six Load"));
    EXPECT_LT(pos(c, "Six Open"), pos(c, "Alpha Open"));
    EXPECT_LT(out.find("Opening 06:Six"), out.find("Opening 20:Alpha"));
    // Id 8 goes first and without a "Closing" line; then Beta, then by name.
    EXPECT_LT(pos(c, "Eight Close"), pos(c, "Beta Close"));
    EXPECT_LT(pos(c, "Eight Unload"), pos(c, "Beta Close"));
    EXPECT_EQ(out.find("Closing 08:Eight"), std::string::npos);
    EXPECT_LT(pos(c, "Beta Close"), pos(c, "Alpha Close"));
    EXPECT_LT(pos(c, "Alpha Close"), pos(c, "Gamma Close"));
    EXPECT_LT(pos(c, "Gamma Close"), pos(c, "Six Close"));
    // Every plugin is closed before any is unloaded; the log plugin goes after all others.
    EXPECT_LT(pos(c, "Six Close"), pos(c, "Beta Unload"));
    EXPECT_LT(out.find("Unloading 06:Six"), out.find("Closing 01:LogPI"));
}

TEST_F(PluginSet, DuplicateIdIsUnloadedAndForgotten) {
    tree_.addPlugin("DupFive.so");
    tree_.addPlugin("Five.so");
    tree_.addPlugin("Probe.so");
    std::string const out = runUntilOpen("Probe");
    EXPECT_NE(out.find("pluginId 05 already loaded from DupFive.so trying to load \"Five.so\""), std::string::npos)
        << out;
    auto c = calls();
    EXPECT_LT(pos(c, "Five Load"), pos(c, "Five Unload"));
    EXPECT_LT(pos(c, "Five Unload"), pos(c, "Probe Load"));
    EXPECT_EQ(std::count(c.begin(), c.end(), "Five Open"), 0);
}

TEST_F(PluginSet, FailedPluginsAreReported) {
    tree_.addPlugin("LoadSeven.so");
    tree_.addPlugin("NoUnload.so");
    tree_.addPlugin("Probe.so");
    tree_.addFile("bin/plugins/Broken.so", "not a library");
    std::string const out = runUntilOpen("Probe");
    EXPECT_NE(out.find("Failed to load plugin LoadSeven.so: load code 7"), std::string::npos) << out;
    EXPECT_NE(out.find("Failed to load plugin NoUnload.so: missing Load()/Unload()"), std::string::npos);
    EXPECT_NE(out.find("Failed to load plugin Broken.so: "), std::string::npos);
}

TEST_F(PluginSet, ProtectedCopyIsTheOneLoaded) {
    tree_.addPlugin("Alpha.so", "plugins", "Same.so");
    tree_.addPlugin("Gamma.so", "protected-plugins", "Same.so");
    std::string const out = runUntilOpen("Gamma");
    EXPECT_NE(out.find("Loaded plugin 40:Same"), std::string::npos) << out;
    EXPECT_EQ(out.find("Loaded plugin 20:"), std::string::npos);
}
