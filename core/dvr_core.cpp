// Construction, start-up, the main loop and the shutdown order of the core.
#include "core/dvr_core.h"
#include "core/block_cache.h"

#include "config/working_dir.h"
#include "core/privilege_drop.h"
#include "core/ref_block.h"
#include "crypto/machine_id.h"
#include "log/log.h"
#include "plugin/discovery.h"
#include "plugin/plugin.h"

#include <boost/asio/post.hpp>

#include <fmt/format.h>

#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
/// How long shutdown waits for buffered console lines; a stalled console loses them.
constexpr std::chrono::milliseconds kConsoleFlushWait{2000};
} // namespace

DvrCore::DvrCore(std::string const& exePath)
    : probes(monitor_.probes),
      exePath_(exePath),
      parent_(io_, {[this] { Stop(); }, [this](std::string_view packet, uint32_t routing) {
                        return ipcResult(packet, routing);
                    }}),
      monitor_(io_, [this](ox::core::EventParms& e) { return queueEvent(e); },
               [this] { parent_.checkDescriptor(); }), // a plugin may close or replace the parent's socket
      printer_([this](unsigned pluginId) {
          // The name the plugin was loaded under, else its id.
          if (auto name = plugins_.name(pluginId)) return std::move(*name);
          return fmt::format("PI{:02x}", pluginId);
      }) {
    for (auto& level : logLevels_) level.store(-1, std::memory_order_relaxed);
    // The last reference to a search result wakes the search thread paced on it.
    oxmem::setReleaseHook([](char const* payload, void* search) { static_cast<SearchHandler*>(search)->released(payload); },
                          &search_);
}

DvrCore::~DvrCore() {
    // Search threads call into the core and its plugins: none may outlive it.
    search_.stop();
    search_.waitIdle(std::chrono::steady_clock::time_point::max());
    // Records the dispatcher never took (it did not run to its end) are not
    // delivered: give back the queue's references so their blocks do not
    // outlive the core, and say so.
    uint32_t const late = queue_.lateCoreRecords();
    ox::core::RecordRing const left = queue_.drain();
    left.forEach([](ox::core::EventParms const& e) { oxmem::release(e.data, 0); });
    reportHeldReferences();
    // Logged without the queue lock: a log record may be queued on the way.
    if (!left.empty()) logSev<kLogDebug>("{:L} queued record(s) were not delivered", left.size());
    if (late != 0) logSev<kLogDebug>("{:L} record(s) of the core posted after the dispatcher ended were not delivered", late);
    oxmem::releaseCachedBlocks();
    oxmem::setReleaseHook(nullptr, nullptr);
    printer_.stop(kConsoleFlushWait); // last: the report above goes to the console too
}

void DvrCore::reportAndLeave() {
    reportHeldReferences();
    printer_.stop(kConsoleFlushWait);
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
    // Before anything touches the working directory's files: from here on
    // they are reached through this descriptor, wherever a plugin chdirs to.
    if (int const err = ox::config::openWorkingDirectory()) {
        logSev<kLogCritical>("cannot open the working directory: {}", std::strerror(err));
        return false;
    }
    if (workDirLock_.take() == ox::core::WorkDirLock::Result::failed) return false;
    // Opened now, while descriptors are to be had; read once a second from then on.
    getHeapAlloc();
    machineId_ = getMachineId();
    ::umask(077);
    // A console that goes away must not kill the core through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (!ox::core::dropPrivileges(&userSwitched_)) return false;
    // Capabilities are per thread: the console's writer starts with the reduced set.
    printer_.start();

    if (pipe != -1) {
        if (!parent_.open(pipe)) {
            logSev<kLogCritical>("failed to open ipc pipe");
            printer_.stop(kConsoleFlushWait); // main does not destroy a core that failed to start
            return false;
        }
        // Processes started by the core or its plugins must not hold the parent channel open.
        ::fcntl(pipe, F_SETFD, ::fcntl(pipe, F_GETFD) | FD_CLOEXEC);
    }

    auto const logPlugin = exePath_.parent_path() / "plugins" / ox::plugin::kLogPluginName;
    auto plugin = Plugin::CreateAndLoad(logPlugin, &DvrCore::eventReceiver, machineId_);
    plugins_.setLogPlugin(plugin);
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

void DvrCore::Run() {
    loadConfig();

    if (machineId_.empty())
        logSev<kLogNotice>("Startup status: code E");
    else if (machineId_.find("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855") != std::string::npos)
        logSev<kLogNotice>("Startup status: code D");

    if (monitor_.enabled()) monitor_.alarm(); // announces Throttling "0"
    work_.emplace(io_.get_executor());
    ioThread_ = std::jthread([this](std::stop_token st) { ioThreadBody(st); });
    boost::asio::post(io_, [this] { monitor_.start(); });
    boost::asio::post(io_, [this] { parent_.startReading(); });

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
    printer_.stop(kConsoleFlushWait);
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
    monitor_.stop();
    queue_.stop();
}

std::chrono::steady_clock::time_point DvrCore::stopDeadline() const noexcept {
    using Clock = std::chrono::steady_clock;
    std::lock_guard lock(stopAtMutex_);
    if (!stopAt_) return Clock::time_point::max();
    return *stopAt_ + std::chrono::duration_cast<Clock::duration>(stopLimit_);
}

std::vector<std::filesystem::path> DvrCore::getPiFiles(std::filesystem::path const& dir) {
    return ox::plugin::discoverPlugins(dir);
}

void DvrCore::loadPlugins() { plugins_.load(getPiFiles(exePath_.parent_path()), &DvrCore::eventReceiver, machineId_); }

void DvrCore::openPlugins() {
    plugins_.open();
    // Raw device access was needed only while plugins opened.
    if (::getuid() != 0) {
        if (int const err = ox::core::setCapabilities(ox::core::kCapsRunning)) {
            if (userSwitched_) {
                // Started as root for another user: not to run on with raw
                // device access it no longer needs. Init is over, so stop.
                logSev<kLogCritical>("capset failed: {}; stopping", std::strerror(err));
                Stop();
            } else {
                logSev<kLogNotice>("capset failed: {}", std::strerror(err));
            }
        }
    }
}

void DvrCore::closePlugins() {
    // New searches are refused, posters waiting in the flow control are let go
    // and every cancel query answers 1, so providers end their searches. Those
    // still running may go on during Close; Unload waits for them.
    search_.stop();
    if (!plugins_.close(stopDeadline(), [this](Plugin const& p, char const* step) { shutdownStep(&p, step); }))
        leftRunning_ = true;
}

void DvrCore::unloadPlugins() {
    if (!plugins_.unload(stopDeadline(), [this](Plugin const& p, char const* step) { shutdownStep(&p, step); }))
        leftRunning_ = true;
}
