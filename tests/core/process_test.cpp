// The core executable as a child process: command line, exit statuses,
// signals and the shutdown order.
#include "support/core_process.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

std::string const kHelpTail = " <pipe>\n";

class Process : public ::testing::Test {
protected:
    ApplianceTree tree_;
    std::unique_ptr<CoreProcess> start(std::vector<std::string> args, std::vector<int> keep = {}) {
        return std::make_unique<CoreProcess>(tree_.exe(), args, tree_.root(), keep);
    }
    /// Starts with the Probe plugin, whose Open logs once the signal set is in place.
    std::unique_ptr<CoreProcess> startReady(std::vector<std::string> args = {}, std::vector<int> keep = {}) {
        tree_.addPlugin("Probe.so");
        auto p = start(std::move(args), std::move(keep));
        EXPECT_TRUE(p->waitForOutput("probe Probe open")) << p->out() << p->err();
        return p;
    }
};

} // namespace

TEST_F(Process, HelpGoesToStandardErrorAndExitsZero) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-h"}, {"-help"}, {"-x", "-h"}, {"-", "-hx"}, {"--help"}, {"-v", "--help", "5"}}) {
        auto p = start(args);
        auto st = p->wait();
        EXPECT_TRUE(st.exited);
        EXPECT_EQ(st.code, 0);
        EXPECT_EQ(p->out(), "");
        EXPECT_EQ(p->err(), "core version 26.0.6.0\nUsage: " + tree_.exe().string() + kHelpTail) << args[0];
    }
    // Typed by hand in a folder, --help leaves nothing behind there.
    EXPECT_FALSE(std::filesystem::exists(tree_.root() / "core.xml"));
    EXPECT_FALSE(std::filesystem::exists(tree_.root() / "dvrcore.lock"));
}

TEST_F(Process, DescriptorArgumentStopsTheScan) {
    // "5 -h": the descriptor is 5, -h is never seen. 5 is not open here, so
    // Init cannot open the channel and the process exits with 2.
    for (std::vector<std::string> args : {std::vector<std::string>{"57", "-h"}, {"-v", "57"}}) {
        auto p = start(args);
        auto st = p->wait();
        EXPECT_EQ(st.code, 2) << args[0];
        std::string const err = p->err();
        EXPECT_TRUE(err.ends_with("failed to initialize core\n")) << err;
        EXPECT_NE(p->out().find("failed to open ipc pipe"), std::string::npos);
    }
}

TEST_F(Process, RunsWithoutParentUntilSignalled) {
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        auto p = startReady();
        p->signal(sig);
        auto st = p->wait();
        EXPECT_TRUE(st.exited) << "signal " << st.signal;
        EXPECT_EQ(st.code, 0);
        std::string const out = p->out();
        // Closed, then unloaded, the log plugin last in the list.
        auto closing = out.find("Closing 10:Probe");
        auto unloading = out.find("Unloading 10:Probe");
        EXPECT_NE(closing, std::string::npos) << out;
        EXPECT_LT(closing, unloading);
        // Standard error carries at most what the identity helper's shell says.
        EXPECT_EQ(p->err().find("failed"), std::string::npos) << p->err();
    }
}

TEST_F(Process, RunsOnAnInheritedSocket) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    auto p = startReady({std::to_string(sv[1])}, {sv[1]});
    ::close(sv[1]);
    p->signal(SIGTERM);
    auto st = p->wait();
    EXPECT_EQ(st.code, 0);
    ::close(sv[0]);
}

TEST_F(Process, SecondSignalIsAbsorbed) {
    auto p = startReady();
    p->signal(SIGTERM);
    p->signal(SIGINT);
    p->signal(SIGTERM);
    auto st = p->wait();
    EXPECT_TRUE(st.exited) << "killed by signal " << st.signal;
    EXPECT_EQ(st.code, 0);
    EXPECT_EQ(p->countOutput("Closing 10:Probe"), 1u);
}

TEST_F(Process, LogPluginWritesTheLogFile) {
    auto p = startReady();
    p->signal(SIGTERM);
    ASSERT_EQ(p->wait().code, 0);
    std::ifstream in(tree_.root() / "log/dvrcore.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(" 25 10 probe Probe open"), std::string::npos) << text;
    EXPECT_NE(text.find(" 25 00 Opening 10:Probe"), std::string::npos) << text;
}

TEST_F(Process, ConsoleThatGoesAwayDoesNotStopTheCore) {
    // Nobody reads standard output: writes fail with EPIPE. The core must not
    // die of SIGPIPE, and log records still reach the log plugin.
    tree_.addPlugin("Probe.so");
    CoreProcess p(tree_.exe(), {}, tree_.root(), {}, true);
    auto const logFile = tree_.root() / "log/dvrcore.log";
    auto logged = [&] {
        std::ifstream in(logFile);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("probe Probe open") != std::string::npos;
    };
    EXPECT_TRUE(waitUntil(logged));
    p.signal(SIGTERM);
    auto st = p.wait();
    EXPECT_TRUE(st.exited) << "killed by signal " << st.signal;
    EXPECT_EQ(st.code, 0);
}

TEST_F(Process, SecondCoreInTheSameWorkingDirectoryDoesNotStart) {
    auto first = startReady();
    auto second = start({});
    auto st = second->wait();
    EXPECT_EQ(st.code, 2);
    // The message names the process that holds the lock.
    EXPECT_NE(second->out().find("another core is running in this working directory (dvrcore.lock is locked by "
                                 "process " + std::to_string(first->pid()) + ")"),
              std::string::npos) << second->out();
    EXPECT_TRUE(second->err().ends_with("failed to initialize core\n")) << second->err();
    EXPECT_EQ(second->out().find("Opening"), std::string::npos);
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait().code, 0);
    // The lock went with the first core.
    auto third = startReady();
    third->signal(SIGTERM);
    EXPECT_EQ(third->wait().code, 0);
}

TEST_F(Process, StopSignalRightAtTheStartStopsCleanly) {
    // The signal is sent at once after fork. Blocked in the child, it is still
    // pending when the core starts: the core must take it as a stop.
    std::vector<std::string> words = launcher();
    words.push_back(tree_.exe().string());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    sigset_t term, saved;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    for (int run = 0; run < 30; ++run) {
        ::pthread_sigmask(SIG_BLOCK, &term, &saved);
        pid_t const pid = ::fork();
        if (pid == 0) {
            int const null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (::chdir(tree_.root().c_str()) != 0) ::_exit(126);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        ASSERT_GT(pid, 0);
        ::kill(pid, SIGTERM);
        int status = 0;
        pid_t r = 0;
        // Polling the child's state: there is no descriptor to wait on portably.
        waitUntil([&] { return (r = ::waitpid(pid, &status, WNOHANG)) != 0; });
        if (r == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        ASSERT_NE(r, 0) << "run " << run << ": the core hung";
        ASSERT_TRUE(WIFEXITED(status)) << "run " << run << ": killed by signal " << WTERMSIG(status);
        ASSERT_EQ(WEXITSTATUS(status), 0) << "run " << run;
    }
}
