// The console echo of log records, and logSev's formatting and threshold.
#include "log/console_printer.h"
#include "log/log.h"
#include "log/system_log.h"
#include "support/stdout_capture.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <regex>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using testing_support::StdoutCapture;

std::vector<std::string> g_syslog;
void captureSyslog(std::string_view text) { g_syslog.emplace_back(text); }

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        g_syslog.clear();
        previous_ = ox::log::setSystemLogSink(&captureSyslog);
    }
    void TearDown() override { ox::log::setSystemLogSink(previous_); }
    // As the core tags lines: its own name for id 0, the id of a plugin it has no name for.
    static std::string tag(unsigned id) { return id == 0 ? std::string("core") : fmt::format("PI{:02x}", id); }
    ox::log::ConsolePrinter printer_{&tag, true}; // as on a terminal

    ox::log::SystemLogSink previous_ = nullptr;
};

std::string const kEsc = "\x1b";

} // namespace

TEST_F(Console, LineCarriesColourTimeTagAndText) {
    StdoutCapture cap;
    printer_.print(0, 25, "hello", false);
    std::string const out = cap.text();
    std::regex const line("\x1b\\[32m\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\x1b\\[36m core\x1b\\[0m hello\n");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

// A console redirected to a file or a pipe gets no escape codes.
TEST_F(Console, NoColourUnlessTheConsoleIsATerminal) {
    StdoutCapture cap;
    ox::log::ConsolePrinter const plain{&tag};
    plain.print(0, 100, "hello", false);
    std::string const out = cap.text();
    EXPECT_TRUE(std::regex_match(out, std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d core hello\n"))) << out;
}

TEST_F(Console, SeverityPicksTheColourColumn) {
    struct Case {
        unsigned severity;
        std::string colour;
    } const cases[] = {{0, "\x1b[38;5;248m"}, {24, "\x1b[38;5;248m"}, {30, "\x1b[32m"}, {50, "\x1b[38;5;227m"},
                       {99, "\x1b[38;5;196m"}, {100, "\x1b[38;5;37m\x1b[38;5;1m"}, {150, "\x1b[38;5;37m\x1b[38;5;1m"}};
    for (auto const& c : cases) {
        StdoutCapture cap;
        printer_.print(0, c.severity, "x", false);
        EXPECT_EQ(cap.text().rfind(c.colour, 0), 0u) << c.severity;
    }
}

TEST_F(Console, UnnamedPluginIsTaggedWithItsId) {
    StdoutCapture cap;
    printer_.print(10, 25, "from ten", false);
    EXPECT_NE(cap.text().find(" PI0a" + kEsc + "[0m from ten\n"), std::string::npos);
}

TEST_F(Console, TrailingLineEndsAndNulsAreStripped) {
    StdoutCapture cap;
    printer_.print(0, 25, std::string_view("abc\r\n\0", 6), false);
    printer_.print(0, 25, std::string_view("\n\r\0", 3), false); // nothing left: no line at all
    std::string const out = cap.text();
    EXPECT_NE(out.find(" abc\n"), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST_F(Console, MostSevereLinesGoToTheSystemLog) {
    StdoutCapture cap;
    printer_.print(0, 99, "not critical", false);
    printer_.print(0, 150, "critical\n", false);
    EXPECT_EQ(g_syslog, std::vector<std::string>{"critical"});
}

TEST_F(Console, ControlCharactersInTheTextAreShownEscaped) {
    // The console and the system log get the escaped text; tabs stay.
    StdoutCapture cap;
    printer_.print(5, 150, "red\x1b[31m bell\x07\tdel\x7f\nnext\n", false);
    std::string const shown = "red\\x1b[31m bell\\x07\tdel\\x7f\\x0anext";
    EXPECT_NE(cap.text().find(kEsc + "[0m " + shown + "\n"), std::string::npos);
    EXPECT_EQ(g_syslog, std::vector<std::string>{shown});
}

// Once the writer runs, the caller only hands over the text: the writer's
// lines are those the caller's thread writes before the start, in order.
TEST_F(Console, WriterThreadWritesTheCallersLinesInOrder) {
    auto printAll = [](ox::log::ConsolePrinter& p) {
        for (unsigned i = 0; i < 300; ++i)
            p.print(i % 7, i % 160, fmt::format("line {}\x1b\t{}\n", i, std::string(i % 50, 'x')), i % 11 == 0);
    };
    auto const withoutTimes = [](std::string const& s) {
        return std::regex_replace(s, std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d"), "T");
    };
    std::string onCaller, onWriter;
    {
        StdoutCapture cap;
        ox::log::ConsolePrinter p{&tag, true};
        printAll(p);
        onCaller = withoutTimes(cap.text());
    }
    std::vector<std::string> const callersSyslog = std::exchange(g_syslog, {});
    {
        StdoutCapture cap;
        ox::log::ConsolePrinter p{&tag, true};
        p.start();
        printAll(p);
        p.stop(std::chrono::seconds(10));
        onWriter = withoutTimes(cap.text());
    }
    EXPECT_EQ(std::count(onCaller.begin(), onCaller.end(), '\n'), 272); // 300 less the quiet ones
    EXPECT_EQ(onWriter, onCaller);
    EXPECT_EQ(g_syslog, callersSyslog);
    EXPECT_FALSE(g_syslog.empty());
}

TEST_F(Console, QuietPrintsNothingButTheSystemLogCopy) {
    StdoutCapture cap;
    printer_.print(0, 25, "hidden", true);
    printer_.print(0, 150, "critical", true);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(g_syslog, std::vector<std::string>{"critical"});
}

TEST_F(Console, ClosedConsoleThrowsToTheCaller) {
    std::fflush(stdout);
    int saved = ::dup(1);
    int ro = ::open("/dev/null", O_RDONLY);
    ::dup2(ro, 1);
    EXPECT_THROW(printer_.print(0, 25, "lost", false), std::system_error);
    std::clearerr(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(ro);
}

namespace {
std::vector<std::string> g_messages;
ox::log::Sink const kThreshold25{nullptr, [](void*) noexcept { return int32_t{25}; },
                                 [](void*, LogLevel, std::string_view text) { g_messages.emplace_back(text); }};
} // namespace

TEST(LogSink, BelowTheThresholdNothingIsFormattedAndDigitsAreGrouped) {
    g_messages.clear();
    ox::log::setSink(&kThreshold25);
    logSev<kLogDebug>("hidden {:L}", 1);
    logSev<kLogInfo>("digits {:L}", 1234567);
    ox::log::setSink(nullptr);
    logSev<kLogCritical>("no sink: dropped");
    // Grouped where the locale is installed (scripts/setup installs it).
    bool const haveLocale = ox::log::getLoc().name() != "C";
    EXPECT_EQ(g_messages, std::vector<std::string>{haveLocale ? "digits 1,234,567" : "digits 1234567"});
}
