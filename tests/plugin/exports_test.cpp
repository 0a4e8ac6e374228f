// What the core executable exports to plugins, through the real executable:
// its dynamic symbol table holds exactly the symbols of exports_expected.txt,
// the Exports test plugin binds to every one of them and works in the core,
// and a plugin stops the core through dvrcore/core_api.h.
//
// The symbol tables are read with the target toolchain's nm (DVR_NM, CMake's
// CMAKE_NM), run on the build machine, so the test works for cross builds too.
#include "support/core_process.h"
#include "support/scoped_env.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <type_traits>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct Symbol {
    char type = '?';      ///< nm's letter
    std::string mangled;  ///< without a version suffix
    std::string version;  ///< "GLIBC_2.2.5" of "stderr@GLIBC_2.2.5", else empty
    std::string name;     ///< demangled (the mangled name for C symbols)
};

std::string demangle(std::string const& mangled) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                                     &std::free);
    return status == 0 && text ? std::string(text.get()) : mangled;
}

/// The dynamic symbols of `file` that nm lists with `filter` ("--defined-only"
/// or "--undefined-only").
std::vector<Symbol> dynamicSymbols(fs::path const& file, std::string const& filter) {
    std::string const command = std::string(DVR_NM) + " -D " + filter + " '" + file.string() + "' 2>&1";
    std::vector<Symbol> symbols;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return symbols;
    }
    std::string output;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) output.append(buf, n);
    int const status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        // "<value> <letter> <name>" for definitions, "<letter> <name>" for references.
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.size() < 2 || w[w.size() - 2].size() != 1) continue;
        Symbol s;
        s.type = w[w.size() - 2][0];
        s.mangled = w.back();
        if (auto at = s.mangled.find('@'); at != std::string::npos) {
            s.version = s.mangled.substr(s.mangled.find_first_not_of('@', at));
            s.mangled.resize(at);
        }
        s.name = demangle(s.mangled);
        symbols.push_back(s);
    }
    EXPECT_FALSE(symbols.empty()) << command << "\n" << output;
    return symbols;
}

/// A definition that plugins can bind to: global, weak or unique. Lower-case
/// letters are local symbols, which MIPS links keep in the dynamic table for
/// the GOT (all but 'u', a unique global, and 'i', an indirect function).
bool bindable(Symbol const& s) { return (s.type >= 'A' && s.type <= 'Z') || s.type == 'u' || s.type == 'i'; }

/// Dynamic symbols that are not ours to control. The x86-64 build links the
/// shared libfmt and libstdc++; when such a library defines or references a
/// template instance that the core also has (a weak definition), the linker
/// must export the core's copy so that the process uses one definition, and
/// data that the core takes from the C library (stderr) is copied into the
/// executable and exported under that library's version. The appliance build
/// (fmt header-only, a version script) has none of these. Only weak instances
/// in namespaces std and fmt, versioned symbols and, in sanitizer builds, the
/// sanitizer runtime's data are tolerated; anything else that is exported but
/// not listed fails the test.
bool notOurs(Symbol const& s) {
    if (!s.version.empty()) return true;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Sanitizer builds: the runtime's option words, copied into the executable
    // like stderr but without a version.
    static std::regex const sanitizerData("^__(asan|lsan|ubsan|tsan|sanitizer)_");
    if (std::regex_search(s.mangled, sanitizerData)) return true;
#endif
    static std::regex const foreignScope("^_Z(T[IVS])?N?K?(S[tabsiod]|3fmt|9__gnu_cxx)");
    return (s.type == 'W' || s.type == 'V') && std::regex_search(s.mangled, foreignScope);
}

struct ExpectedExports {
    std::set<std::string> required; ///< must be exported, and bound by the Exports plugin
    std::set<std::string> optional; ///< may be exported, depending on the build
};

ExpectedExports expectedExports() {
    constexpr char const* sizeType = std::is_same_v<std::size_t, unsigned long> ? "unsigned long" : "unsigned int";
    std::ifstream in(std::string(DVR_SOURCE_DIR) + "/tests/plugin/exports_expected.txt");
    EXPECT_TRUE(in.good());
    ExpectedExports expected;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        for (size_t at; (at = line.find("{size_t}")) != std::string::npos;) line.replace(at, 8, sizeType);
        if (line.rfind("? ", 0) == 0)
            expected.optional.insert(line.substr(2));
        else
            expected.required.insert(line);
    }
    return expected;
}

/// The core's exports that are ours, by demangled name.
std::map<std::string, Symbol> coreExports() {
    std::map<std::string, Symbol> ours;
    for (auto const& s : dynamicSymbols(fs::path(DVR_BIN_DIR) / "dvrcore", "--defined-only"))
        if (bindable(s) && !notOurs(s)) ours.emplace(s.name, s);
    return ours;
}

std::string lines(std::vector<std::string> const& names) {
    std::string text;
    for (auto const& n : names) text += "\n  " + n;
    return text;
}

} // namespace

TEST(Exports, CoreExportsExactlyWhatPluginsMayBindTo) {
    ExpectedExports const expected = expectedExports();
    ASSERT_GT(expected.required.size(), 50u);
    std::map<std::string, Symbol> const exported = coreExports();

    std::vector<std::string> missing, unlisted;
    for (auto const& name : expected.required)
        if (!exported.count(name)) missing.push_back(name);
    for (auto const& [name, symbol] : exported)
        if (!expected.required.count(name) && !expected.optional.count(name))
            unlisted.push_back(name + "   (" + symbol.mangled + ")");
    EXPECT_TRUE(missing.empty()) << "listed in exports_expected.txt but not exported by the core:" << lines(missing);
    EXPECT_TRUE(unlisted.empty()) << "exported by the core but not listed in exports_expected.txt:" << lines(unlisted);
}

TEST(Exports, TestPluginBindsToEveryExport) {
    // Exports a plugin does not reach by itself: unique objects (inline
    // variables: every user has its own copy, which the loader makes one), and
    // a private inline helper that only inline members call, which a compiler
    // may inline or not.
    std::set<std::string> const unreachable = {"rapidxml::memory_pool<char>::reset()"};
    std::set<std::string> bound;
    for (auto const& s : dynamicSymbols(fs::path(DVR_TEST_PLUGIN_DIR) / "Exports.so", "--undefined-only"))
        bound.insert(s.name);
    std::map<std::string, Symbol> const exported = coreExports();

    std::vector<std::string> unused;
    for (auto const& name : expectedExports().required) {
        auto const it = exported.find(name);
        if (it != exported.end() && it->second.type == 'u') continue;
        if (!bound.count(name) && !unreachable.count(name)) unused.push_back(name);
    }
    EXPECT_TRUE(unused.empty()) << "exports that tests/support/plugins/exports_plugin.cpp does not use:"
                                << lines(unused);
}

namespace {

class ExportsPlugin : public ::testing::Test {
protected:
    ExportsPlugin() { tree_.addPlugin("Exports.so"); }

    /// Position of the first trace line starting with `prefix`, or -1.
    long traced(std::string const& prefix) {
        auto const trace = tree_.probeTrace();
        auto it = std::find_if(trace.begin(), trace.end(), [&](auto const& l) { return l.rfind(prefix, 0) == 0; });
        return it == trace.end() ? -1 : it - trace.begin();
    }
    std::string trace() {
        std::string text;
        for (auto const& l : tree_.probeTrace()) text += l + "\n";
        return text;
    }
    /// Waits for the plugin's report of its checks; false at the deadline or
    /// as soon as the core reports that the plugin failed to load.
    static bool reported(CoreProcess& p) {
        std::string out;
        waitUntil([&] {
            out = p.out();
            return out.find("exports plugin: ") != std::string::npos ||
                   out.find("Failed to load plugin Exports.so") != std::string::npos;
        }, 60s);
        return out.find("exports plugin: ") != std::string::npos;
    }
    /// Runs the core until the plugin has called Stop, and checks that the core
    /// then shuts down as it does for a signal.
    void expectStoppedBy(std::string const& how) {
        env_.set("PROBE_Exports_STOP", how);
        CoreProcess p(tree_.exe(), {}, tree_.root());
        ASSERT_TRUE(reported(p)) << p.out() << p.err();
        ExitStatus const status = p.wait(60s);
        std::string const out = p.out();
        EXPECT_TRUE(status.exited) << "signal " << status.signal << "\n" << out;
        EXPECT_EQ(status.code, 0) << out << p.err();
        EXPECT_NE(out.find("checks done, failed: none"), std::string::npos) << out;
        long const stop = traced("Exports Stop " + how);
        EXPECT_GE(stop, 0) << trace();
        EXPECT_LT(stop, traced("Exports Close")) << trace();
        EXPECT_LT(traced("Exports Close"), traced("Exports Unload")) << trace();
        // The usual order: every plugin closed before any is unloaded, the log plugin after all others.
        auto const at = [&](std::string const& text) {
            auto const pos = out.find(text);
            EXPECT_NE(pos, std::string::npos) << text << "\n" << out;
            return pos;
        };
        EXPECT_LT(at("Closing 1b:Exports"), at("Unloading 1b:Exports"));
        EXPECT_LT(at("Unloading 1b:Exports"), at("Closing 01:LogPI"));
        EXPECT_LT(at("Closing 01:LogPI"), at("Unloading 01:LogPI"));
    }

    ApplianceTree tree_;
    ScopedEnv env_;
};

} // namespace

TEST_F(ExportsPlugin, LoadsAndEveryExportWorks) {
    CoreProcess p(tree_.exe(), {}, tree_.root());
    ASSERT_TRUE(reported(p)) << p.out() << p.err();
    EXPECT_TRUE(p.waitForOutput("checks done, failed: none", 5s)) << p.out();
    EXPECT_NE(p.out().find("Loaded plugin 1b:Exports"), std::string::npos) << p.out();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait().code, 0) << p.out();
    EXPECT_GE(traced("Exports checks="), 0) << trace();
    EXPECT_GE(traced("Exports Unload"), 0) << trace();
}

TEST_F(ExportsPlugin, StopsTheCoreFromOnEvent) { expectStoppedBy("event"); }

TEST_F(ExportsPlugin, StopsTheCoreFromAThreadOfItsOwn) { expectStoppedBy("thread"); }
