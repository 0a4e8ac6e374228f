// The core's configuration through the real executable: defaults, the files
// it reads, the published document, the saved file and delta updates.
#include "dvrcore/xml_document.h"
#include "support/core_process.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

using namespace testing_support;
namespace fs = std::filesystem;
using Node = rapidxml::xmlNode<char>;

namespace {

std::string slurp(fs::path const& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

/// "name=value name=value" of an element's attributes, in document order.
std::string attrs(Node const* n) {
    std::string s;
    for (auto const* a = n ? n->firstAttr : nullptr; a; a = a->next)
        s += (s.empty() ? "" : " ") + std::string(a->name) + "=" + std::string(a->value);
    return s;
}

std::vector<Node const*> children(Node const* n, std::string_view name) {
    std::vector<Node const*> out;
    for (Node const* c = n ? n->node(name) : nullptr; c; c = c->nextSibling(name)) out.push_back(c);
    return out;
}

constexpr char kProbeId[] = "1048576"; // plugin id 0x10

class CoreConfig : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.addPlugin("Probe.so");
        set("DUMP_CONFIG", "1");
    }
    void set(std::string const& name, std::string const& value) { env_.set("PROBE_Probe_" + name, value); }
    bool traced(std::string const& text) {
        return slurp(tree_.root() / "probe-trace.txt").find(text) != std::string::npos;
    }
    /// Runs until the probe has dumped `dumps` documents, then stops the core.
    std::string run(int dumps = 1) {
        CoreProcess p(tree_.exe(), {}, tree_.root());
        std::string const last = "dumped config-" + std::to_string(dumps) + ".xml";
        EXPECT_TRUE(waitUntil([&] { return traced(last); })) << p.out();
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait().code, 0);
        return p.out();
    }
    std::string published(int n) { return slurp(tree_.root() / ("config-" + std::to_string(n) + ".xml")); }
    ApplianceTree tree_;
    ScopedEnv env_;
};

std::string delta(std::string const& plugins) {
    // Declaration of 7 characters, the Delta mark inside bytes 13..112 and
    // "<Modules" within the first 40 bytes: what the core accepts as a delta.
    return "<?xml?>\n<oREC Delta=\"1\">\n<Modules><Module>" + plugins + "</Module></Modules></oREC>";
}

} // namespace

TEST_F(CoreConfig, DefaultsArePublishedAndSavedWithoutProduct) {
    std::string const out = run();
    EXPECT_NE(out.find("Failed to open product.xml"), std::string::npos);
    EXPECT_NE(out.find("Config defaulted"), std::string::npos);

    std::string const text = published(1);
    ASSERT_EQ(text.rfind("<?xml?><oREC>", 0), 0u) << text; // compact form
    rapidxml::xmlDocument<char> doc;
    doc.parse<rapidxml::kParseNonDestructive>(text);
    EXPECT_EQ(attrs(doc.node("oREC/Memory")), "ID=-2147483648 Throttling=1");
    Node const* modules = doc.node("oREC/Modules");
    ASSERT_NE(modules, nullptr);
    EXPECT_EQ(std::string(modules->firstAttr->name), "TotalLoadTimeMs");
    EXPECT_EQ(std::string(modules->lastAttr->name), "TotalOpenTimeMs");
    auto const mods = children(modules, "Module");
    ASSERT_EQ(mods.size(), 1u);
    EXPECT_EQ(attrs(mods[0]), "ID=-2147483648 Name=Core Version=26.0.6.0");
    auto const plugins = children(mods[0], "Plugin");
    ASSERT_EQ(plugins.size(), 3u); // the core, Probe, the log plugin last
    EXPECT_EQ(attrs(plugins[0]), "ID=-2147483648 Filename=dvrcore Opened=1 LoadTimeMs=0 OpenTimeMs=0 OpenCode=0 "
                                 "LogLevel=-1 LogLevelDefault=-1");
    EXPECT_EQ(plugins[1]->attrText("ID"), kProbeId);
    EXPECT_EQ(plugins[1]->attrText("Filename"), "Probe.so");
    EXPECT_EQ(plugins[2]->attrText("ID"), "65536");
    EXPECT_EQ(plugins[2]->attrText("Filename"), "LogPI.so");
    EXPECT_EQ(attrs(doc.node("oREC/Product")), "Family=orvelStudio Version=26.0.6.0");

    std::string const saved = slurp(tree_.root() / "core.xml");
    EXPECT_EQ(saved.find("Product"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>"), std::string::npos) << saved;
}

TEST_F(CoreConfig, LevelsAreClampedAndIdsFollowTheConvention) {
    tree_.addFile("product.xml", "<?xml version=\"1.0\"?>\n<Product Family=\"Fam\" Version=\"1.2\"/>\n");
    tree_.addFile("core.xml", std::string("<?xml version=\"1.0\"?>\n<oREC><Memory Throttling=\"false\"/><Modules>") +
                                  "<Module><Plugin ID=\"-2147483648\" LogLevel=\"-7\"/>"
                                  "<Plugin ID=\"" + kProbeId + "\" LogLevel=\"250\"/>"
                                  "<Plugin ID=\"65536\" LogLevel=\"50\"/>" // plugin id 1: ignored
                                  "<Plugin ID=\"abc\" LogLevel=\"50\"/></Module>"
                                  "<Module><Plugin ID=\"2097152\" LogLevel=\"60x\"/></Module></Modules></oREC>\n");
    run();
    rapidxml::xmlDocument<char> doc;
    std::string const text = published(1);
    doc.parse<rapidxml::kParseNonDestructive>(text);
    EXPECT_EQ(doc.node("oREC/Memory")->attrText("Throttling"), "0");
    EXPECT_EQ(attrs(doc.node("oREC/Product")), "Family=Fam Version=1.2");
    EXPECT_EQ(doc.node("oREC/Modules/Module")->attrText("Version"), "1.2");
    auto const plugins = children(doc.node("oREC/Modules/Module"), "Plugin");
    ASSERT_EQ(plugins.size(), 3u);
    EXPECT_EQ(plugins[0]->attrText("LogLevel"), "-1"); // -7 stores the default
    EXPECT_EQ(plugins[1]->attrText("LogLevel"), "100"); // 250 is clamped
    EXPECT_EQ(plugins[2]->attrText("LogLevel"), "-1"); // id 1 takes no level
}

TEST_F(CoreConfig, MissingProductDescriptionKeepsTheCoreSettings) {
    tree_.addFile("core.xml", std::string("<?xml version=\"1.0\"?>\n<oREC><Modules><Module>") + "<Plugin ID=\"" +
                                  kProbeId + "\" LogLevel=\"75\"/></Module></Modules></oREC>\n");
    run();
    rapidxml::xmlDocument<char> doc;
    std::string const text = published(1);
    doc.parse<rapidxml::kParseNonDestructive>(text);
    EXPECT_EQ(children(doc.node("oREC/Modules/Module"), "Plugin")[1]->attrText("LogLevel"), "75");
    // And the save that follows keeps it.
    EXPECT_NE(slurp(tree_.root() / "core.xml").find("LogLevel=\"75\""), std::string::npos);
}

TEST_F(CoreConfig, DeltaThatChangesALevelIsPublishedAndSaved) {
    set("DELTA", delta(std::string("<Plugin ID=\"") + kProbeId + "\" LogLevel=\"75\"/>"));
    run(2);
    EXPECT_NE(published(1).find("LogLevel=\"-1\""), std::string::npos);
    rapidxml::xmlDocument<char> doc;
    std::string const text = published(2);
    doc.parse<rapidxml::kParseNonDestructive>(text);
    EXPECT_EQ(children(doc.node("oREC/Modules/Module"), "Plugin")[1]->attrText("LogLevel"), "75");
    std::string const saved = slurp(tree_.root() / "core.xml");
    EXPECT_NE(saved.find("ID=\"1048576\" Filename=\"Probe.so\""), std::string::npos);
    EXPECT_NE(saved.find("LogLevel=\"75\""), std::string::npos) << saved;
}

TEST_F(CoreConfig, DeltaWithoutChangeOrOutsideItsWindowDoesNothing) {
    for (std::string const& text : std::vector<std::string>{delta(std::string("<Plugin ID=\"") + kProbeId + "\" LogLevel=\"-1\"/>"),
          // "<Modules" starting after byte 32 is not a delta.
          std::string("<?xml version=\"1.0\"?>\n<oREC Delta=\"1\">\n    <Modules><Module><Plugin ID=\"1048576\" LogLevel=\"75\"/>"
          "</Module></Modules></oREC>")}) {
        set("DELTA", text);
        run();
        EXPECT_FALSE(fs::exists(tree_.root() / "config-2.xml"));
        fs::remove(tree_.root() / "probe-trace.txt");
        fs::remove(tree_.root() / "config-1.xml");
    }
}

TEST_F(CoreConfig, MalformedDeltaIsLoggedAndIgnored) {
    set("DELTA", delta(std::string("<Plugin ID=\"") + kProbeId + "\" LogLevel=\"75\"") + "<<");
    std::string const out = run();
    EXPECT_NE(out.find("configuration update ignored"), std::string::npos) << out;
}

TEST_F(CoreConfig, FailedPluginsAreListed) {
    tree_.addPlugin("LoadSeven.so");
    tree_.addPlugin("NoUnload.so");
    run();
    rapidxml::xmlDocument<char> doc;
    std::string const text = published(1);
    doc.parse<rapidxml::kParseNonDestructive>(text);
    auto const mods = children(doc.node("oREC/Modules"), "Module");
    ASSERT_EQ(mods.size(), 3u);
    EXPECT_EQ(attrs(mods[1]), "ID=1 Name=LoadSeven Version=load code 7");
    EXPECT_EQ(attrs(mods[2]), "ID=2 Name=NoUnload Version=missing Load()/Unload()");
    auto const plugins = children(mods[0], "Plugin");
    ASSERT_EQ(plugins.size(), 5u);
    EXPECT_EQ(attrs(plugins[3]), "ID=1 Filename=LoadSeven.so Opened=1 LoadTimeMs=0 OpenTimeMs=0 OpenCode=7 "
                                 "LogLevel=-1 LogLevelDefault=-1");
    EXPECT_EQ(plugins[4]->attrText("OpenCode"), "-101");
}

TEST_F(CoreConfig, UnusableCoreConfigIsKeptAsideBeforeTheDefaultsAreSaved) {
    std::string const good = std::string("<?xml version=\"1.0\"?>\n<oREC><Modules><Module><Plugin ID=\"") + kProbeId +
                             "\" LogLevel=\"75\"/></Module></Modules></oREC>\n";
    // Damaged again and again: each one is kept, none replaces an earlier one.
    std::vector<std::string> const damaged = {
        "<?xml version=\"1.0\"?>\n<oREC Note=\"&#x110000;\"><Memory Throttling=\"0\"/></oREC>\n",
        std::string("<?xml version=\"1.0\"?>\n<oREC><Memory Throttling=\"0\"/>\0</oREC>\n", 50),
        good.substr(0, good.size() - 12)};
    for (size_t i = 0; i < damaged.size(); ++i) {
        std::string const kept = i == 0 ? "core.xml.bad" : "core.xml.bad." + std::to_string(i);
        tree_.addFile("core.xml", damaged[i]);
        std::string const out = run();
        EXPECT_NE(out.find("Config defaulted"), std::string::npos) << out;
        EXPECT_NE(out.find("core.xml kept as " + kept), std::string::npos) << out;
        EXPECT_NE(slurp(tree_.root() / "core.xml").find("<Memory ID=\"-2147483648\" Throttling=\"1\"/>"),
                  std::string::npos);
        for (char const* f : {"probe-trace.txt", "config-1.xml"}) fs::remove(tree_.root() / f);
    }
    EXPECT_EQ(slurp(tree_.root() / "core.xml.bad"), damaged[0]);
    EXPECT_EQ(slurp(tree_.root() / "core.xml.bad.1"), damaged[1]);
    EXPECT_EQ(slurp(tree_.root() / "core.xml.bad.2"), damaged[2]);
    for (char const* f : {"core.xml.bad", "core.xml.bad.1", "core.xml.bad.2"}) fs::remove(tree_.root() / f);
    // A missing file is no damage: nothing is kept.
    fs::remove(tree_.root() / "core.xml");
    run();
    EXPECT_FALSE(fs::exists(tree_.root() / "core.xml.bad"));
}

TEST_F(CoreConfig, ConfigFilesThatAreNotRegularOrHugeAreRefusedWithoutStallingTheStart) {
    std::string const levels = std::string("<?xml version=\"1.0\"?>\n<oREC><Modules><Module><Plugin ID=\"") +
                               kProbeId + "\" LogLevel=\"75\"/></Module></Modules></oREC>\n";
    tree_.addFile("core.xml", levels);
    ASSERT_EQ(::mkfifo((tree_.root() / "product.xml").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((tree_.root() / "core.xml.pending").c_str(), 0644), 0);
    std::string out = run();
    EXPECT_NE(out.find("Failed to read product.xml - not a regular file"), std::string::npos) << out;
    // The side file is passed over; core.xml and its levels hold.
    EXPECT_NE(published(1).find("LogLevel=\"75\""), std::string::npos);
    EXPECT_FALSE(fs::exists(tree_.root() / "core.xml.pending"));
    for (char const* f : {"probe-trace.txt", "config-1.xml"}) fs::remove(tree_.root() / f);

    // A FIFO and a huge sparse file under the configuration's name.
    fs::remove(tree_.root() / "core.xml");
    ASSERT_EQ(::mkfifo((tree_.root() / "core.xml").c_str(), 0644), 0);
    out = run();
    EXPECT_NE(out.find("Failed to read core.xml - not a regular file"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_fifo(tree_.root() / "core.xml.bad"));
    for (char const* f : {"probe-trace.txt", "config-1.xml", "core.xml.bad", "core.xml"}) fs::remove(tree_.root() / f);
    tree_.addFile("core.xml", levels);
    fs::resize_file(tree_.root() / "core.xml", 64u << 20); // sparse: costs nothing on disk
    out = run();
    EXPECT_NE(out.find("Failed to read core.xml - File too large"), std::string::npos) << out;
    EXPECT_EQ(fs::file_size(tree_.root() / "core.xml.bad"), 64u << 20);
}

TEST_F(CoreConfig, DeltaWhoseSaveFailsIsInForceAndReportedAsNotSaved) {
    // The side file's name is taken by a folder: every save of core.xml fails.
    fs::create_directories(tree_.root() / "core.xml.pending");
    set("DELTA", delta(std::string("<Plugin ID=\"") + kProbeId + "\" LogLevel=\"75\"/>"));
    std::string const out = run(2);
    EXPECT_NE(published(2).find("LogLevel=\"75\""), std::string::npos);
    EXPECT_NE(out.find("configuration update in force, but core.xml not saved: Failed to open core.xml.pending"),
              std::string::npos) << out;
    EXPECT_EQ(out.find("configuration update ignored"), std::string::npos) << out;
}
