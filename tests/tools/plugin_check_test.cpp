// dvrcore-check end to end: the real checker on real plugin libraries, with
// the verdict read from its output and its exit status.
#include "support/core_process.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string_view>

using namespace testing_support;

namespace {

std::filesystem::path const kChecker = std::filesystem::path(DVR_BIN_DIR) / "dvrcore-check";

std::string pluginPath(std::string const& name) {
    auto shipped = std::filesystem::path(DVR_BIN_DIR) / "plugins" / name;
    return (std::filesystem::exists(shipped) ? shipped : std::filesystem::path(DVR_TEST_PLUGIN_DIR) / name).string();
}

/// True when `s` is exactly one JSON value (a syntax check, nothing more).
bool isJson(std::string_view s) {
    size_t i = 0;
    auto ws = [&] {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    };
    auto str = [&] {
        if (i >= s.size() || s[i++] != '"') return false;
        while (i < s.size() && s[i] != '"') {
            if (static_cast<unsigned char>(s[i]) < 0x20) return false;
            i += s[i] == '\\' ? 2 : 1;
        }
        return i++ < s.size();
    };
    std::function<bool()> value = [&]() -> bool {
        ws();
        if (i >= s.size()) return false;
        char const open = s[i];
        if (open == '"') return str();
        if (open == '{' || open == '[') {
            char const close = open == '{' ? '}' : ']';
            ++i;
            ws();
            if (i < s.size() && s[i] == close) return ++i, true;
            for (;;) {
                if (open == '{') {
                    ws();
                    if (!str()) return false;
                    ws();
                    if (i >= s.size() || s[i++] != ':') return false;
                }
                if (!value()) return false;
                ws();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                return i < s.size() && s[i++] == close;
            }
        }
        size_t const start = i;
        while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '-' || s[i] == '.')) ++i;
        std::string const tok(s.substr(start, i - start));
        char* end = nullptr;
        std::strtod(tok.c_str(), &end);
        return tok == "true" || tok == "false" || tok == "null" || (!tok.empty() && *end == '\0');
    };
    if (!value()) return false;
    ws();
    return i == s.size();
}

class PluginCheck : public ::testing::Test {
protected:
    /// Runs the checker to its end; `out` holds its standard output.
    int check(std::vector<std::string> args) {
        CoreProcess p(kChecker, args, tree_.root());
        auto const st = p.wait(60s);
        out = p.out();
        err = p.err();
        EXPECT_TRUE(st.exited) << "signal " << st.signal << "\n" << err;
        return st.code;
    }
    bool saysFault(std::string const& text) const { return out.find("fault: " + text) != std::string::npos; }

    ApplianceTree tree_;
    ScopedEnv env_;
    std::string out, err;
};

TEST_F(PluginCheck, TheShippedLogPluginIsClean) {
    EXPECT_EQ(check({pluginPath("LogPI.so")}), 0) << out << err;
    EXPECT_NE(out.find("consumes: log\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nverdict: clean\n"), std::string::npos) << out;

    EXPECT_EQ(check({pluginPath("LogPI.so"), "--json"}), 0) << out << err;
    EXPECT_TRUE(isJson(out)) << out;
    EXPECT_NE(out.find("\"pluginId\":\"01\""), std::string::npos) << out; // as the core's log lines write it
    EXPECT_NE(out.find("\"faults\":[],\"verdict\":\"clean\"}"), std::string::npos) << out;
}

// Mistakes a plugin survives in a quick test and pays for in the field.
TEST_F(PluginCheck, SlowDeliveriesScribbledPayloadsForeignDecrefsAndIdZeroAreNamed) {
    env_.set("LIFE_SLOW_MS", "50");
    EXPECT_EQ(check({pluginPath("Life.so")}), 0) << out << err; // a warning, as the core's own log line
    EXPECT_NE(out.find("warning: OnEvent(alarm) took up to "), std::string::npos) << out;
    EXPECT_NE(out.find("(3 deliveries over 5 ms)"), std::string::npos) << out;
    ::unsetenv("LIFE_SLOW_MS");

    env_.set("LIFE_SCRIBBLE", "1");
    EXPECT_EQ(check({pluginPath("Life.so")}), 1) << out << err;
    EXPECT_TRUE(saysFault("OnEvent(alarm) wrote into the payload it was handed")) << out;
    ::unsetenv("LIFE_SCRIBBLE");

    env_.set("LIFE_FOREIGN_DECREF", "1");
    EXPECT_EQ(check({pluginPath("Life.so"), "--ref-timeout", "0.2"}), 1) << out << err;
    EXPECT_TRUE(saysFault("posted a decref whose source 0x00220001 carries plugin id 22, not its own 21")) << out;
    ::unsetenv("LIFE_FOREIGN_DECREF");

    env_.set("LIFE_ADDRESS", "0x00000005");
    EXPECT_EQ(check({pluginPath("Life.so")}), 1) << out << err;
    EXPECT_TRUE(saysFault("declared address 0x00000005, whose plugin id is 00, the core's own")) << out;
}

// Load(PluginInfo*, LoadParams const*) compiles in C; it used to be reported as a crash in Open.
TEST_F(PluginCheck, ASwappedLoadAndAnotherArchitectureSayWhatIsWrong) {
    env_.set("LIFE_SWAPPED_LOAD", "1");
    EXPECT_EQ(check({pluginPath("Life.so")}), 1) << out << err;
    EXPECT_TRUE(saysFault("Load wrote into the LoadParams it was handed, which is the core's: are its parameters "
                          "swapped?"))
        << out;
    EXPECT_EQ(out.find("crashed"), std::string::npos) << out;

    // The same library, its header saying 64-bit ARM: neither target of ours.
    std::ifstream in(pluginPath("Life.so"), std::ios::binary);
    std::string elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    elf[4] = 2;     // 64-bit
    elf[5] = 1;     // little-endian
    elf[18] = char(183);
    elf[19] = 0;
    tree_.addFile("Arm.so", elf);
    EXPECT_EQ(check({(tree_.root() / "Arm.so").string()}), 1) << out << err;
    EXPECT_TRUE(saysFault("Arm.so is built for 64-bit ARM, this dvrcore-check for ")) << out;
    EXPECT_NE(out.find("check it with the dvrcore-check of the SDK built for 64-bit ARM"), std::string::npos) << out;
}

// An author drives their own plugin's paths: several cameras, payloads from files.
TEST_F(PluginCheck, ScriptedEventsReplaceTheCheckersOwn) {
    tree_.addFile("frame.bin", std::string("\0\0\0\1frame", 9));
    tree_.addFile("events.txt", "# type source ...\n"
                                "alarm 0x00410001 text:<?xml version=\"1.0\"?><oREC><Alarm Camera=\"1\"/></oREC>\n"
                                "\n"
                                "alarm 0x00410002 file:frame.bin\n"
                                "audio 0x00410002 key=0 file:frame.bin\n");
    EXPECT_EQ(check({pluginPath("Life.so"), "--events", (tree_.root() / "events.txt").string()}), 0) << out << err;
    EXPECT_NE(out.find("events delivered 3"), std::string::npos) << out; // the configuration document and two alarms
    EXPECT_NE(out.find("scripted events 3, scripted events the core would not offer it 1"), std::string::npos) << out;

    tree_.addFile("bad.txt", "alarm 0x00410001\nvidoe 0x00410001\n");
    EXPECT_EQ(check({pluginPath("Life.so"), "--events", (tree_.root() / "bad.txt").string()}), 2);
    EXPECT_NE(err.find("bad.txt:2: unknown type 'vidoe'"), std::string::npos) << err;
}

TEST_F(PluginCheck, APluginBindingToEveryCoreExportLoadsAndMayStopTheCore) {
    env_.set("PROBE_Exports_STOP", "event");
    EXPECT_EQ(check({pluginPath("Exports.so")}), 0) << out << err;
    EXPECT_NE(out.find("checks done, failed: none\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nstop: the plugin asked the core to stop\n"), std::string::npos) << out;
}

TEST_F(PluginCheck, ReferencesKeptForeverOrGivenBackWronglyAreFaults) {
    // Kept until Unload: a recorder that does this holds every frame of its life.
    env_.set("PROBE_Alpha_KEEP", "1");
    EXPECT_EQ(check({pluginPath("Alpha.so"), "--ref-timeout", "0.2"}), 1) << out << err;
    EXPECT_TRUE(saysFault("kept 3 alarm payload reference(s) for longer than 0.2 s and gave them back only at Close "
                          "or Unload"))
        << out;
    env_.set("PROBE_Alpha_KEEP_FOREVER", "1");
    EXPECT_EQ(check({pluginPath("Alpha.so"), "--ref-timeout", "0.2"}), 1) << out << err;
    EXPECT_TRUE(saysFault("kept 3 alarm payload reference(s) and never gave them back")) << out;

    // Gives its reference back, then again, then a pointer into the payload and one of its own.
    env_.set("LIFE_MISUSE", "1");
    EXPECT_EQ(check({pluginPath("Life.so"), "--timeout", "0.5"}), 1) << out << err;
    EXPECT_TRUE(saysFault("posted a decref for a payload it holds no reference to: the plugin gave it back already"))
        << out;
    EXPECT_TRUE(saysFault("posted a decref for a payload it holds no reference to: it points into a payload")) << out;
    EXPECT_TRUE(saysFault("posted a decref for a payload it holds no reference to: it was never handed")) << out;
}

TEST_F(PluginCheck, AHangingCloseAndCrashesBecomeVerdicts) {
    env_.set("LIFE_CLOSE_FOREVER", "1");
    EXPECT_EQ(check({pluginPath("Life.so"), "--timeout", "1"}), 1) << out << err;
    EXPECT_TRUE(saysFault("Close did not return within 1 s\n")) << out;

    ::unsetenv("LIFE_CLOSE_FOREVER"); // the fixture's environment puts it back as it was
    env_.set("LIFE_CRASH", "1");
    EXPECT_EQ(check({pluginPath("Life.so"), "--timeout", "1"}), 1) << out << err;
    // SIGSEGV in a plain build; a sanitizer's report, then an abort or an exit status, in others.
    EXPECT_TRUE(saysFault("crashed during OnEvent(alarm): signal ") ||
                saysFault("ended during OnEvent(alarm) with exit status"))
        << out;

    // Dead before any event: the verdict names Open, not the step after it.
    ::unsetenv("LIFE_CRASH");
    env_.set("LIFE_OPEN_CRASH", "1");
    EXPECT_EQ(check({pluginPath("Life.so"), "--timeout", "1"}), 1) << out << err;
    EXPECT_TRUE(saysFault("crashed during Open: signal ") || saysFault("ended during Open with exit status")) << out;
}

TEST_F(PluginCheck, RecordHeadsThatLieAreFaults) {
    // Built against a layout the core does not know: the core reads its own whatever the head says.
    env_.set("LIFE_INFO_SIZE", "72");
    env_.set("LIFE_POST_SIZE", "100");
    EXPECT_EQ(check({pluginPath("Life.so"), "--timeout", "0.5"}), 1) << out << err;
    EXPECT_TRUE(saysFault("Load rewrote the PluginInfo head to size 72, version 3: the core wrote 68, 3")) << out;
    EXPECT_TRUE(saysFault("posted a record of type alarm with a bad head: size 100, version 1")) << out;

    // Longer than its buffer: a size head beyond the record, a payload length beyond the cap.
    ::unsetenv("LIFE_INFO_SIZE"); // the fixture's environment puts it back as it was
    env_.set("LIFE_POST_SIZE", "4096");
    env_.set("LIFE_POST_DATALEN", "16777217");
    EXPECT_EQ(check({pluginPath("Life.so"), "--timeout", "0.5"}), 1) << out << err;
    EXPECT_TRUE(saysFault("posted a record of type alarm with a bad head: size 4096")) << out;
    EXPECT_TRUE(saysFault("posted a record of type alarm carrying 16777217 bytes, more than the 16 MiB")) << out;
}

TEST_F(PluginCheck, UsageErrorsExitWithTwo) {
    EXPECT_EQ(check({pluginPath("LogPI.so"), "--frobnicate"}), 2);
    EXPECT_NE(err.find("unknown option: --frobnicate"), std::string::npos) << err;
    EXPECT_EQ(check({(tree_.root() / "Missing.so").string()}), 2);
    EXPECT_TRUE(out.empty()) << out;
}

} // namespace
