#include "support/core_process.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <utility>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testing_support {

std::vector<std::string> launcher() {
    std::vector<std::string> words;
    std::istringstream in(DVR_TEST_LAUNCHER);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

ApplianceTree::ApplianceTree() {
    fs::create_directories(bin() / "plugins");
    // A hard link keeps the tree cheap; the core finds its plugins beside its
    // own canonical path, so a symbolic link would not do.
    std::error_code ec;
    fs::create_hard_link(fs::path(DVR_BIN_DIR) / "dvrcore", exe(), ec);
    if (ec) fs::copy_file(fs::path(DVR_BIN_DIR) / "dvrcore", exe());
    addPlugin("LogPI.so");
}

void ApplianceTree::addPlugin(std::string const& builtName, std::string const& sub, std::string newName) {
    fs::path from = fs::path(DVR_BIN_DIR) / "plugins" / builtName;
    if (!fs::exists(from)) from = fs::path(DVR_TEST_PLUGIN_DIR) / builtName;
    fs::create_directories(bin() / sub);
    fs::copy_file(from, bin() / sub / (newName.empty() ? builtName : newName), fs::copy_options::overwrite_existing);
}

void ApplianceTree::addFile(fs::path const& rel, std::string const& content) {
    fs::create_directories((root() / rel).parent_path());
    std::ofstream(root() / rel, std::ios::binary) << content;
}

std::vector<std::string> ApplianceTree::probeTrace() const {
    std::ifstream in(root() / "probe-trace.txt");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

namespace {
std::vector<std::pair<int, unsigned long long>> g_childLimits; ///< test thread only
} // namespace

ChildLimit::ChildLimit(int resource, unsigned long long soft) { g_childLimits.emplace_back(resource, soft); }
ChildLimit::~ChildLimit() { g_childLimits.pop_back(); }

CoreProcess::CoreProcess(fs::path const& exe, std::vector<std::string> const& args, fs::path const& cwd,
                         std::vector<int> const& keepFds, bool closedStdout, bool stalledStdout) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv = launcher();
    argv.push_back(exe.string());
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        for (int fd : keepFds) ::fcntl(fd, F_SETFD, 0);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        // The test runner may ignore or block signals; the core must start clean.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (auto const& [resource, soft] : g_childLimits) {
            rlimit r{};
            ::getrlimit(resource, &r);
            r.rlim_cur = static_cast<rlim_t>(soft);
            if (r.rlim_max != RLIM_INFINITY && r.rlim_max < r.rlim_cur) r.rlim_max = r.rlim_cur;
            if (::setrlimit(resource, &r) != 0) ::_exit(125);
        }
        ::execvp(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (closedStdout)
        ::close(outPipe[0]);
    else if (stalledStdout)
        stalledOut_ = outPipe[0];
    else
        outThread_ = std::thread([this, fd = outPipe[0]] { pump(fd, out_); });
    errThread_ = std::thread([this, fd = errPipe[0]] { pump(fd, err_); });
}

CoreProcess::~CoreProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stalledOut_ >= 0) ::close(stalledOut_);
    if (outThread_.joinable()) outThread_.join();
    if (errThread_.joinable()) errThread_.join();
}

void CoreProcess::pump(int fd, std::string& sink) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        {
            std::lock_guard lock(mutex_);
            sink.append(buf, static_cast<size_t>(n));
        }
        cv_.notify_all();
    }
    ::close(fd);
}

void CoreProcess::resumeOutput() {
    if (stalledOut_ < 0) return;
    outThread_ = std::thread([this, fd = std::exchange(stalledOut_, -1)] { pump(fd, out_); });
}

void CoreProcess::signal(int sig) {
    lastSignal_ = sig;
    ::kill(pid_, sig);
}

ExitStatus CoreProcess::wait(std::chrono::milliseconds timeout) {
    ExitStatus st;
#ifdef DVR_UNDER_TSAN
    // The ThreadSanitizer runtime runs a signal handler on the thread that
    // received the signal, later; a signal handed to a thread that ends first
    // is lost. Only in such builds is a stop signal sent once more.
    auto const start = std::chrono::steady_clock::now();
    bool resent = false;
#endif
    int status = 0;
    // Polling the child's state: there is no descriptor to wait on portably.
    bool const exited = waitUntil([&] {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return true;
#ifdef DVR_UNDER_TSAN
        if (!resent && lastSignal_ != 0 && std::chrono::steady_clock::now() - start > 5s) {
            resent = true;
            ::kill(pid_, lastSignal_);
        }
#endif
        return false;
    }, timeout);
    if (!exited) {
        ADD_FAILURE() << "core did not exit in time; output so far:\n" << out();
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    reaped_ = true;
    if (outThread_.joinable()) outThread_.join();
    if (errThread_.joinable()) errThread_.join();
    if (WIFEXITED(status)) {
        st.exited = true;
        st.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        st.signal = WTERMSIG(status);
    }
    return st;
}

bool CoreProcess::waitForOutput(std::string const& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return out_.find(text) != std::string::npos; });
}

size_t CoreProcess::countOutput(std::string const& text) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (size_t pos = out_.find(text); pos != std::string::npos; pos = out_.find(text, pos + text.size())) ++n;
    return n;
}

std::string CoreProcess::out() {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string CoreProcess::err() {
    std::lock_guard lock(mutex_);
    return err_;
}

} // namespace testing_support
