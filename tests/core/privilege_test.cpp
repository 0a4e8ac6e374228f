// The privilege drop, observed from /proc: the core takes on its parent's
// user and groups and keeps only the network and raw-I/O capabilities.
#include "support/core_process.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> procStatus(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(in, line);) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        auto value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        fields[line.substr(0, colon)] = value;
    }
    return fields;
}

class Privileges : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root to start the core under another parent user";
        nobody_ = ::getpwnam("nobody");
        if (!nobody_) GTEST_SKIP() << "no user nobody on this machine";
        // The core runs as nobody: it must be able to write its trace and log here.
        fs::permissions(tree_.root(), fs::perms::all);
        tree_.addPlugin("Probe.so");
    }
    /// Starts the core under a parent running as nobody; returns the core's pid.
    std::unique_ptr<CoreProcess> start(std::string const& mode, int& corePid) {
        std::vector<std::string> args{"nobody", mode, "--"};
        for (auto const& w : launcher()) args.push_back(w);
        args.push_back(tree_.exe().string());
        auto p = std::make_unique<CoreProcess>(fs::path(DVR_BIN_DIR).parent_path() / "tests/run_as_parent", args,
                                               tree_.root());
        EXPECT_TRUE(p->waitForOutput("probe Probe open")) << p->out() << p->err();
        std::smatch m;
        std::string const err = p->err();
        corePid = std::regex_search(err, m, std::regex("pid (\\d+)")) ? std::stoi(m[1]) : -1;
        return p;
    }
    bool configDelivered() {
        std::ifstream in(tree_.root() / "probe-trace.txt");
        for (std::string l; std::getline(in, l);)
            if (l.find("Probe OnEvent type=256") != std::string::npos) return true;
        return false;
    }
    void waitForConfig(CoreProcess& p) {
        // The configuration document is delivered after every plugin opened.
        ASSERT_TRUE(waitUntil([&] { return configDelivered(); })) << p.out();
    }
    ApplianceTree tree_;
    passwd const* nobody_ = nullptr;
};

} // namespace

TEST_F(Privileges, CoreTakesOnTheParentsUserAndKeepsNetworkCapabilities) {
    int pid = -1;
    auto p = start("switch", pid);
    ASSERT_GT(pid, 0);
    waitForConfig(*p);
    auto st = procStatus(pid);
    std::string const uid = std::to_string(nobody_->pw_uid), gid = std::to_string(nobody_->pw_gid);
    EXPECT_EQ(st["Uid"], uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(st["Gid"], gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(st["Groups"], gid);
    EXPECT_EQ(st["CapEff"], "0000000000003000");
    EXPECT_EQ(st["CapPrm"], "0000000000003000");
    EXPECT_EQ(st["CapInh"], "0000000000000000");
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait().code, 0);
    EXPECT_EQ(p->out().find("capset failed"), std::string::npos);
}

TEST_F(Privileges, SameUnprivilegedUserCannotSetCapabilitiesAndGoesOn) {
    int pid = -1;
    auto p = start("same", pid);
    waitForConfig(*p);
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait().code, 0);
    EXPECT_NE(p->out().find("capset failed: Operation not permitted"), std::string::npos) << p->out();
}

TEST(PrivilegesAsRoot, RootParentChangesNothing) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    ApplianceTree tree;
    tree.addPlugin("Probe.so");
    CoreProcess p(tree.exe(), {}, tree.root());
    ASSERT_TRUE(p.waitForOutput("probe Probe open"));
    auto before = procStatus(::getpid());
    auto st = procStatus(p.pid());
    EXPECT_EQ(st["Uid"], "0\t0\t0\t0");
    EXPECT_EQ(st["CapEff"], before["CapEff"]);
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait().code, 0);
}

TEST_F(Privileges, CapabilitiesThatCannotBeReducedAfterTheSwitchFailTheStart) {
    // Without raw I/O in the bounding set the core cannot hold the sets it
    // asks for; as the parent's user it would keep every other capability.
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv";
    std::vector<std::string> args{"nobody", "switch", "--", "/usr/bin/setpriv", "--bounding-set", "-sys_rawio"};
    for (auto const& w : launcher()) args.push_back(w);
    args.push_back(tree_.exe().string());
    CoreProcess p(fs::path(DVR_BIN_DIR).parent_path() / "tests/run_as_parent", args, tree_.root());
    EXPECT_TRUE(p.waitForOutput("capset failed")) << p.out();
    p.signal(SIGTERM); // forwarded: a core that went on stops with 0
    auto const st = p.wait();
    EXPECT_EQ(st.code, 2) << p.out() << p.err();
    EXPECT_NE(p.out().find("capset failed: Operation not permitted"), std::string::npos) << p.out();
    EXPECT_NE(p.err().find("failed to initialize core"), std::string::npos) << p.err();
    EXPECT_EQ(p.out().find("Opening"), std::string::npos);
}
