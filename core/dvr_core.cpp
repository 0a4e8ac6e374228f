// Construction, start-up, the main loop and the shutdown order of the core.
#include "core/dvr_core.h"
#include "core/block_cache.h"

#include "core/privilege_drop.h"
#include "crypto/machine_id.h"
#include "core/ref_block.h"
#include "log/log.h"
#include "plugin/plugin.h"

#include <boost/asio/post.hpp>
#include <boost/asio/dispatch.hpp>

#include <fmt/format.h>

#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {
/// How long shutdown waits for buffered console lines; a stalled console loses them.
constexpr std::chrono::milliseconds kConsoleFlushWait{2000};
constexpr char const* kLockFile = "dvrcore.lock"; // in the working directory, beside core.xml
} // namespace

DvrCore::DvrCore(std::string const& exePath)
    : memTimer_(io_, std::chrono::steady_clock::time_point{}), ipc_(io_), exePath_(exePath) {
    for (auto& level : logLevels_) level.store(-1, std::memory_order_relaxed);
    pluginNames_.emplace(0u, "core");
}

DvrCore::~DvrCore() {
    // Search threads call into the core and its plugins: none may outlive it.
    search_.stop();
    search_.waitIdle(std::chrono::steady_clock::time_point::max());
    for (auto& [buffer, length] : sendQueue_) std::free(buffer);
    sendQueue_.clear();
    if (lockFd_ >= 0) ::close(lockFd_); // the lock goes with it
    // Records the dispatcher never took (it did not run to its end) are not
    // delivered: give back the queue's references so their blocks do not
    // outlive the core, and say so.
    uint32_t late = 0;
    size_t left = 0;
    {
        std::lock_guard lock(queueMutex_);
        late = lateCoreRecords_;
        left = queue_.size();
        for (auto const& e : queue_) decRef(e.data, 0);
        queue_.clear();
    }
    reportHeldReferences();
    // Logged without the queue lock: a log record may be queued on the way.
    if (left != 0) logSev<kLogDebug>("{:L} queued record(s) were not delivered", left);
    if (late != 0) logSev<kLogDebug>("{:L} record(s) of the core posted after the dispatcher ended were not delivered", late);
    oxmem::releaseCachedBlocks();
    console_.stop(kConsoleFlushWait); // last: the report above goes to the console too
}

void DvrCore::reportAndLeave() {
    reportHeldReferences();
    console_.stop(kConsoleFlushWait);
    std::fflush(stdout);
}

void DvrCore::reportHeldReferences() {
    uint32_t const blocks = oxmem::stats.blocks.load();
    if (blocks == 0) return;
    logSev<kLogDebug>("refblks: {:L}({:L})", blocks, oxmem::stats.bytes.load());
    for (unsigned id = 0; id < 256; ++id) {
        uint32_t const held = oxmem::stats.refs[id].load();
        if (held != 0)
            logSev<kLogDebug>("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id, pluginName(id), held);
    }
}

bool DvrCore::Init(int pipe) {
    oxmem::keepPayloadBlocksInHeap(); // before any thread allocates payload blocks
    // First, so that no thread or child starts with the stop signals blocked.
    if (!installStopSignals()) return false;
    // Before anything touches the working directory's files.
    if (!lockWorkingDirectory()) return false;
    machineId_ = getMachineId();
    ::umask(077);
    // A console that goes away must not kill the core through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (!ox::core::dropPrivileges(&userSwitched_)) return false;
    // Capabilities are per thread: the console's writer starts with the reduced set.
    console_.start();

    if (pipe != -1) {
        boost::system::error_code ec;
        ipc_.assign(boost::asio::generic::stream_protocol(AF_UNIX, 0), pipe, ec);
        if (ec) {
            logSev<kLogCritical>("failed to open ipc pipe");
            console_.stop(kConsoleFlushWait); // main does not destroy a core that failed to start
            return false;
        }
        // Processes started by the core or its plugins must not hold the parent channel open.
        ::fcntl(pipe, F_SETFD, ::fcntl(pipe, F_GETFD) | FD_CLOEXEC);
        ipcOpen_.store(true);
    }

    auto const logPlugin = exePath_.parent_path() / "plugins/LogPI.so";
    auto plugin = Plugin::CreateAndLoad(logPlugin, &DvrCore::eventReceiver, machineId_);
    {
        std::unique_lock lock(pluginsMutex_);
        logPlugin_ = plugin;
    }
    plugin->Open();
    return true;
}

bool DvrCore::installStopSignals() {
    signals_ = std::make_unique<boost::asio::signal_set>(io_);
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        boost::system::error_code ec;
        signals_->add(sig, ec);
        if (ec) {
            logSev<kLogCritical>("cannot handle signal {}: {}", sig, ec.message());
            return false;
        }
        sigaddset(&stops, sig);
    }
    // One wait: the first signal starts the shutdown, later ones stay caught.
    // A signal that came early is pending until here and is caught now; the
    // I/O thread and plugin threads, all created later, inherit this mask.
    signals_->async_wait([this](boost::system::error_code const&, int) { Stop(); });
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    return true;
}

bool DvrCore::lockWorkingDirectory() {
    // Read-only is enough for flock and works on a file another user created.
    lockFd_ = ::open(kLockFile, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (lockFd_ < 0) {
        // A read-only working directory ran before; it still does, unguarded.
        logSev<kLogNotice>("cannot open {}: {}; running without the working-directory lock", kLockFile,
                           std::strerror(errno));
        return true;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) return true;
    int const err = errno;
    if (err == EWOULDBLOCK)
        logSev<kLogCritical>("another core is running in this working directory ({} is locked)", kLockFile);
    else
        logSev<kLogCritical>("cannot lock {}: {}", kLockFile, std::strerror(err));
    return false;
}

void DvrCore::Run() {
    loadConfig();

    if (machineId_.empty())
        logSev<kLogNotice>("Startup status: code E");
    else if (machineId_.find("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855") != std::string::npos)
        logSev<kLogNotice>("Startup status: code D");

    if (throttlingEnabled_) memAlarm(); // announces Throttling "0"
    work_.emplace(io_.get_executor());
    ioThread_ = std::jthread([this](std::stop_token st) { ioThreadBody(st); });
    boost::asio::post(io_, [this] { armMemCheck(std::chrono::steady_clock::time_point{}); });
    boost::asio::post(io_, [this] { ipcPostRead(); });

    loadPlugins();
    openPlugins();
    try {
        postConfig();
    } catch (std::exception const& e) {
        // A configuration that cannot be saved must not stop the core.
        logSev<kLogWarning>("{}", e.what());
    }

    dispatchEvents();

    {
        // A Close or Unload that never returns cannot be given up on like a
        // search: past the deadline the process ends rather than hang for ever.
        std::jthread watch([this](std::stop_token st) { watchShutdown(st); });
        closePlugins();
        unloadPlugins();
        // Search threads still in core code after their plugin call returned end soon;
        // one still inside a plugin at the deadline keeps the core object alive.
        if (!search_.waitIdle(stopDeadline())) leftRunning_ = true;
    }

    work_.reset();
    io_.stop();
    ioThread_ = std::jthread(); // requests stop and joins
    signals_.reset();
}

void DvrCore::shutdownStep(Plugin const* plugin, char const* step) {
    std::lock_guard lock(shutdownMutex_);
    shutdownStep_ = plugin ? fmt::format("{} {}", step, plugin->fileName()) : std::string(step);
}

void DvrCore::watchShutdown(std::stop_token const& st) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_until(lock, st, stopDeadline() + kForcedExitGrace, [] { return false; });
    if (st.stop_requested()) return;
    std::string step;
    {
        std::lock_guard steps(shutdownMutex_);
        step = shutdownStep_;
    }
    logSev<kLogCritical>("stop deadline passed while {}: the core exits now", step);
    console_.stop(kConsoleFlushWait);
    std::fflush(stdout);
    std::_Exit(kForcedExitStatus);
}

void DvrCore::ioThreadBody(std::stop_token st) {
    while (!st.stop_requested() && !io_.stopped()) {
        try {
            io_.run();
        } catch (std::exception const& e) {
            // A handler failed: report it and keep serving the others.
            logSev<kLogCritical>("I/O thread: {}", e.what());
        }
    }
}

void DvrCore::Stop() {
    {
        std::lock_guard lock(stopAtMutex_);
        if (!stopAt_) stopAt_ = std::chrono::steady_clock::now();
    }
    stopRequested_.store(true);
    // The timer belongs to the I/O thread; cancel it there.
    boost::asio::dispatch(io_, [this] {
        if (memTimerPending_) {
            memTimer_.cancel();
            memTimerPending_ = false;
        }
    });
    queueCv_.notify_one();
}

void DvrCore::armMemCheck(std::chrono::steady_clock::time_point expiry) {
    if (memTimerPending_) memTimer_.cancel();
    memTimer_.expires_at(expiry);
    memTimer_.async_wait([this](boost::system::error_code const& ec) { memCheck(ec); });
    memTimerPending_ = true;
}

std::chrono::steady_clock::time_point DvrCore::stopDeadline() const noexcept {
    using Clock = std::chrono::steady_clock;
    std::lock_guard lock(stopAtMutex_);
    if (!stopAt_) return Clock::time_point::max();
    return *stopAt_ + std::chrono::duration_cast<Clock::duration>(stopLimit_);
}

std::vector<std::shared_ptr<Plugin>> DvrCore::pluginsSnapshot() const {
    std::shared_lock lock(pluginsMutex_);
    return plugins_;
}

std::string DvrCore::pluginName(unsigned pluginId) const {
    std::shared_lock lock(pluginsMutex_);
    auto it = pluginNames_.find(pluginId);
    return it != pluginNames_.end() ? it->second : "unknown";
}
