// Runs the real core executable as a child process in an appliance tree of
// its own (bin/dvrcore, bin/plugins/, bin/protected-plugins/) and watches its
// console output.
#pragma once

#include "support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>
#include <sys/types.h>

namespace testing_support {

using namespace std::chrono_literals;

/// A fresh appliance folder under the system temp folder, removed at the end.
class ApplianceTree {
public:
    ApplianceTree();
    ApplianceTree(ApplianceTree const&) = delete;
    ApplianceTree& operator=(ApplianceTree const&) = delete;

    std::filesystem::path const& root() const { return dir_.path(); }
    std::filesystem::path bin() const { return dir_ / "bin"; }
    std::filesystem::path exe() const { return bin() / "dvrcore"; }
    /// Copies a built plugin (by file name from the build's plugin folders)
    /// into bin/<sub>/ under an optional new name.
    void addPlugin(std::string const& builtName, std::string const& sub = "plugins", std::string newName = "");
    void addFile(std::filesystem::path const& rel, std::string const& content);
    /// Lines the test plugins appended to probe-trace.txt, oldest first (none before the first).
    std::vector<std::string> probeTrace() const;

private:
    TempDir dir_{"dvrcore-test"};
};

struct ExitStatus {
    bool exited = false;
    int code = -1;   ///< exit code when exited
    int signal = 0;  ///< terminating signal otherwise
};

class CoreProcess {
public:
    /// Starts `exe` with `args` (through the build's launcher prefix), working
    /// directory `cwd`, standard output and error captured. `keepFds` stay open.
    /// With `closedStdout` the child's standard output is a pipe nobody reads
    /// (its reading end is closed at once), as when a console goes away.
    /// With `stalledStdout` it is a pipe that stays open but is not read
    /// until resumeOutput(), as when a console stops draining.
    CoreProcess(std::filesystem::path const& exe, std::vector<std::string> const& args,
                std::filesystem::path const& cwd, std::vector<int> const& keepFds = {}, bool closedStdout = false,
                bool stalledStdout = false);
    ~CoreProcess();
    CoreProcess(CoreProcess const&) = delete;
    CoreProcess& operator=(CoreProcess const&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    /// Waits for the process to end; kills it at the deadline and fails.
    ExitStatus wait(std::chrono::milliseconds timeout = 30s);
    /// True once standard output holds `text` (false at the deadline).
    bool waitForOutput(std::string const& text, std::chrono::milliseconds timeout = 20s);
    /// Number of times `text` occurs in standard output so far.
    size_t countOutput(std::string const& text);
    std::string out();
    std::string err();
    /// Starts reading a stalled standard output.
    void resumeOutput();

private:
    void pump(int fd, std::string& sink);

    pid_t pid_ = -1;
    int stalledOut_ = -1; ///< reading end of a stalled standard output, until resumeOutput()
    bool reaped_ = false;
    int lastSignal_ = 0; ///< the last signal sent, for the ThreadSanitizer retry in wait()
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string out_; ///< under mutex_
    std::string err_; ///< under mutex_
    std::thread outThread_, errThread_;
};

/// A resource limit (setrlimit) that cores started during its scope get in
/// the child, so the test process itself keeps its own.
class ChildLimit {
public:
    ChildLimit(int resource, unsigned long long soft);
    ~ChildLimit();
    ChildLimit(ChildLimit const&) = delete;
    ChildLimit& operator=(ChildLimit const&) = delete;
};

/// The launcher prefix of this build (qemu for a cross-built target), split into words.
std::vector<std::string> launcher();

} // namespace testing_support
