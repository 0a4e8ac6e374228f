// The plugin wrapper over real test plugin libraries: load and open codes,
// entry call order, fallbacks, threads, and calls racing close and unload.
#include "plugin/plugin.h"
#include "support/records.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Record;

namespace {

std::atomic<int> g_posts{0};
int countingCallback(ox::core::EventParms*, void*) {
    ++g_posts;
    return 0;
}

fs::path pluginPath(std::string const& name) { return fs::path(DVR_TEST_PLUGIN_DIR) / (name + ".so"); }

/// Each test runs in a folder of its own, where the probes write their trace.
class Wrapper : public ::testing::Test {
protected:
    void SetUp() override { dir_.enter(); }
    std::vector<std::string> trace() {
        std::ifstream in(dir_ / "probe-trace.txt");
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    /// Entry names only, e.g. "Probe Open".
    std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (auto const& l : trace()) {
            std::istringstream in(l);
            std::string name, entry;
            in >> name >> entry;
            out.push_back(name + " " + entry);
        }
        return out;
    }
    testing_support::TempDir dir_{"wrapper"};
};

using Calls = std::vector<std::string>;

} // namespace

TEST_F(Wrapper, LoadCodesAndErrorTexts) {
    auto missing = Plugin::CreateAndLoad(pluginPath("NoSuchPlugin"), countingCallback, "");
    EXPECT_FALSE(missing->loaded());
    EXPECT_EQ(missing->loadCode(), LoadCode::CannotOpen);
    EXPECT_NE(missing->errorText().find("NoSuchPlugin.so"), std::string::npos);
    missing->Open();
    EXPECT_EQ(missing->openCode(), OpenCode::MissingEntries);
    EXPECT_EQ(missing->errorText(), "missing Open()/Close()");

    auto noUnload = Plugin::CreateAndLoad(pluginPath("NoUnload"), countingCallback, "");
    EXPECT_FALSE(noUnload->loaded());
    EXPECT_EQ(noUnload->loadCode(), LoadCode::MissingEntries);
    EXPECT_EQ(noUnload->errorText(), "missing Load()/Unload()");

    auto seven = Plugin::CreateAndLoad(pluginPath("LoadSeven"), countingCallback, "");
    EXPECT_FALSE(seven->loaded());
    EXPECT_EQ(seven->loadCode(), 7);
    EXPECT_EQ(seven->errorText(), "load code 7");
    seven.reset();
    // Load was never called without Unload; a failed Load gets no Unload.
    EXPECT_EQ(calls(), (Calls{"LoadSeven Load"}));
}

TEST_F(Wrapper, RecordsHandedToLoadAndOpen) {
    auto p = Plugin::CreateAndLoad(pluginPath("Probe"), countingCallback, "machine-42");
    ASSERT_TRUE(p->loaded());
    p->Open();
    p->Open(); // a second Open does not reach the plugin
    auto lines = trace();
    ASSERT_GE(lines.size(), 2u);
    std::string const loadSize = sizeof(void*) == 4 ? "24" : "40";
    EXPECT_EQ(lines[0], "Probe Load size=" + loadSize + " version=4 out=68/3 id=machine-42");
    EXPECT_EQ(lines[1], "Probe Open size=16");
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(p->address(), 0x00100000u);
    EXPECT_EQ(p->shortName(), "Probe");
    EXPECT_GE(p->loadTimeNs(), 0);
}

TEST_F(Wrapper, EventsAndTheirFallbacks) {
    char payload[] = "abcdef";
    auto probe = Plugin::CreateAndLoad(pluginPath("Probe"), countingCallback, "");
    probe->Open();
    auto alarm = Record(0, OX_TYPE_ALARM, OX_LIVE_CLASS, payload, 6);
    EXPECT_EQ(probe->OnEvent(alarm), 0);
    probe->Close();
    // After Close only configuration events reach a plugin, and only through IOCTL.
    auto config = Record(0, OX_TYPE_CONFIG, OX_LIVE_CLASS, payload, 6);
    EXPECT_EQ(probe->OnEvent(alarm), 0);
    EXPECT_EQ(probe->OnEvent(config), 0);

    auto writer = Plugin::CreateAndLoad(pluginPath("Writer"), countingCallback, "");
    writer->Open();
    EXPECT_EQ(writer->OnEvent(alarm), 0);
    EXPECT_EQ(writer->OnEvent(config), 0);
    auto modifiedConfig = Record(0, OX_TYPE_CONFIG | OX_TYPE_MODIFIER, OX_LIVE_CLASS, payload, 6);
    EXPECT_EQ(writer->OnEvent(modifiedConfig), 0);

    std::string const writeSize = sizeof(void*) == 4 ? "192" : "200";
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "Probe Load size=" + std::string(sizeof(void*) == 4 ? "24" : "40") +
                               " version=4 out=68/3 id=",
                           "Probe Open size=16",
                           "Probe OnEvent type=4 len=6 source=0 head=abcdef",
                           "Probe Close",
                           "Writer Load size=" + std::string(sizeof(void*) == 4 ? "24" : "40") +
                               " version=4 out=68/3 id=",
                           "Writer Open size=16",
                           "Writer Write size=" + writeSize + " len=6",
                           "Writer IOCTL code=2 len=6",
                           "Writer Write size=" + writeSize + " len=6",
                       }));
}

TEST_F(Wrapper, PluginWithoutOpenStillGetsConfigurationRepliesAndItsWorker) {
    auto p = Plugin::CreateAndLoad(pluginPath("NoOpen"), countingCallback, "");
    ASSERT_TRUE(p->loaded());
    p->ProvideWorkerThreadIf();
    p->Open();
    EXPECT_EQ(p->openCode(), OpenCode::MissingEntries);
    char payload[] = "<x/>";
    EXPECT_EQ(p->OnEvent(Record(0, OX_TYPE_CONFIG, OX_LIVE_CLASS, payload, 4)), 0);
    EXPECT_EQ(p->OnEvent(Record(0, OX_TYPE_ALARM, OX_LIVE_CLASS, payload, 4)), 0);
    p->OnIpcResult("0123456789abcdef");
    p->Close(); // Close exists: the worker is told to finish
    p->Unload();
    auto c = calls();
    auto has = [&](std::string const& s) { return std::find(c.begin(), c.end(), s) != c.end(); };
    EXPECT_TRUE(has("NoOpen IOCTL")); // worker, config and reply all through IOCTL
    auto lines = trace();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "NoOpen IOCTL code=2 len=4"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "NoOpen IOCTL code=4 len=16"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "NoOpen IOCTL code=1 len=0"), lines.end());
    // Unload came after the worker finished.
    auto done = std::find(c.begin(), c.end(), "NoOpen worker");
    auto unload = std::find(c.begin(), c.end(), "NoOpen Unload");
    EXPECT_LT(done, unload);
}

TEST_F(Wrapper, UnloadWaitsForReaderAndWorker) {
    auto p = Plugin::CreateAndLoad(pluginPath("Threads"), countingCallback, "");
    p->ProvideWorkerThreadIf();
    p->Open();
    p->Close();
    p->Unload();
    EXPECT_FALSE(p->loaded());
    auto c = calls();
    auto pos = [&](std::string const& s) { return std::find(c.begin(), c.end(), s) - c.begin(); };
    EXPECT_LT(pos("Threads reader"), pos("Threads Unload"));
    EXPECT_LT(pos("Threads worker"), pos("Threads Unload"));
    EXPECT_LT(pos("Threads Unload"), static_cast<long>(c.size()));
}

TEST_F(Wrapper, DroppingANeverOpenedPluginUnloadsIt) {
    Plugin::CreateAndLoad(pluginPath("Probe"), countingCallback, "").reset();
    EXPECT_EQ(calls(), (Calls{"Probe Load", "Probe Unload"}));
}

TEST_F(Wrapper, RepliesAndSearchesRacingCloseAndUnload) {
    // Threads calling in while the main thread closes and unloads: no call may
    // reach the plugin once its library is gone (sanitizer builds check this).
    for (int round = 0; round < 5; ++round) {
        auto p = Plugin::CreateAndLoad(pluginPath("Threads"), countingCallback, "");
        p->Open();
        std::atomic<bool> go{true};
        auto request = Record(0, OX_TYPE_VIDEO, OX_LIVE_CLASS);
        request.requestId = 0x00120001;
        std::thread replies([&] {
            while (go) p->OnIpcResult("0123456789abcdef");
        });
        std::thread searches([&] {
            while (go) p->OnSearch(request, p->admitSearch());
        });
        p->Close();
        p->Unload();
        go = false;
        replies.join();
        searches.join();
        EXPECT_FALSE(p->loaded());
    }
}

TEST_F(Wrapper, CloseWaitsForAnEventCallAlreadyInside) {
    // A log record handed over from another thread while the stop goes on:
    // the plugin must not close what that OnEvent still writes to.
    ::setenv("PROBE_Alpha_SLEEP_IN", "OnEvent", 1);
    ::setenv("PROBE_Alpha_SLEEP_MS", "300", 1);
    auto p = Plugin::CreateAndLoad(pluginPath("Alpha"), countingCallback, "");
    p->Open();
    char text[] = "alarm";
    auto const alarm = Record(0x00100001u, OX_TYPE_ALARM, OX_LIVE_CLASS, text, 5);
    std::thread other([&] { p->OnEventFromAnyThread(alarm); });
    auto const inside = [&] {
        for (auto const& l : trace())
            if (l == "Alpha OnEvent sleeps") return true;
        return false;
    };
    while (!inside()) std::this_thread::sleep_for(1ms); // the test's own deadline bounds it
    p->Close();
    other.join();
    p->Unload();
    ::unsetenv("PROBE_Alpha_SLEEP_IN");
    ::unsetenv("PROBE_Alpha_SLEEP_MS");
    auto const c = calls();
    auto const slept = std::find(c.begin(), c.end(), "Alpha OnEvent");
    ASSERT_NE(slept, c.end());
    auto const lines = trace();
    auto const at = [&](std::string const& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    EXPECT_LT(at("Alpha OnEvent slept"), at("Alpha Close"));
}
