// Construction, start-up, the main loop and the shutdown order of the core.
#include "core/dvr_core.h"
#include "core/block_cache.h"

#include "config/working_dir.h"
#include "core/crash_report.h"
#include "core/privilege_drop.h"
#include "core/ref_block.h"
#include "core/stop_signals.h"
#include "crypto/machine_id.h"
#include "log/log.h"
#include "plugin/call_site.h"
#include "plugin/discovery.h"
#include "plugin/plugin.h"

#include <boost/asio/post.hpp>

#include <fmt/format.h>

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
    : identity_{exePath, {}, "orvelStudio", kVersion},
      parent_(io_.context(), {[this] { Stop(); }, [this](std::string_view packet, uint32_t routing) {
                        return ipcResult(packet, routing);
                    }}),
      monitor_(io_.context(), [this](ox::core::EventParms& e) { return queueEvent(e); },
               [this] { parent_.checkDescriptor(); }), // a plugin may close or replace the parent's socket
      printer_([this](unsigned pluginId) {
          // The name the plugin was loaded under, else its id.
          if (auto name = plugins_.name(pluginId)) return std::move(*name);
          return fmt::format("PI{:02x}", pluginId);
      }),
      shutdown_([this](std::chrono::milliseconds wait) { printer_.flush(wait); }) {
    // The last reference to a search result wakes the search thread paced on it.
    oxmem::setReleaseHook([](char const* payload, void* search) { static_cast<SearchHandler*>(search)->released(payload); },
                          &search_);
}

DvrCore::~DvrCore() {
    ox::core::StopSignals::process().setReceiver(nullptr);
    // Search threads call into the core and its plugins: none may outlive it.
    search_.stop();
    search_.waitIdle(std::chrono::steady_clock::time_point::max());
    // Records the dispatcher never took (it did not run to its end) are not
    // delivered: give back the queue's references so their blocks do not
    // outlive the core, and say so.
    uint32_t const late = queue_.lateCoreRecords();
    ox::core::RecordRing const left = queue_.drain();
    left.forEach([](ox::core::EventParms const& e) { oxmem::release(e.data, 0); });
    reportHeldReferences(kLogDebug);
    // Logged without the queue lock: a log record may be queued on the way.
    if (!left.empty()) logSev<kLogDebug>("{:L} queued record(s) were not delivered", left.size());
    if (late != 0) logSev<kLogDebug>("{:L} record(s) of the core posted after the dispatcher ended were not delivered", late);
    oxmem::releaseCachedBlocks();
    oxmem::setReleaseHook(nullptr, nullptr);
    printer_.stop(kConsoleFlushWait); // last: the report above goes to the console too
}

void DvrCore::reportAndLeave() {
    reportHeldReferences(kLogDebug);
    printer_.stop(kConsoleFlushWait);
    std::fflush(stdout);
}

void DvrCore::reportHeldReferences(LogLevel level, unsigned skipId) {
    uint32_t const blocks = oxmem::stats.blocks.load();
    if (blocks == 0) return;
    if (level == kLogDebug) logSev<kLogDebug>("refblks: {:L}({:L})", blocks, oxmem::stats.bytes.load());
    for (unsigned id = 0; id < 256; ++id) {
        uint32_t const held = oxmem::stats.refs[id].load();
        if (held == 0 || id == skipId || !reports_.first(ox::core::PluginReports::Kind::HeldReferences, id)) continue;
        if (level == kLogDebug)
            logSev<kLogDebug>("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id, pluginName(id), held);
        else
            logSev<kLogNotice>("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id, pluginName(id), held);
    }
}

bool DvrCore::startThread(char const* what, bool started) {
    if (!started) logSev<kLogCritical>("cannot start the {} thread: {}", what, std::strerror(errno));
    return started;
}

bool DvrCore::Init(int pipe) {
    oxmem::keepPayloadBlocksInHeap(); // before any thread allocates payload blocks
    ox::plugin::markMainThread();
    // Before anything touches the working directory's files: from here on
    // they are reached through this descriptor, wherever a plugin chdirs to.
    if (int const err = ox::config::openWorkingDirectory()) {
        logSev<kLogCritical>("cannot open the working directory: {}", std::strerror(err));
        return false;
    }
    if (workDirLock_.take() == ox::core::WorkDirLock::Result::failed) return false;
    // Opened now, while descriptors are to be had; read once a second from then on.
    getHeapAlloc();
    identity_.machineId = getMachineId();
    ::umask(077);
    {
        // The crash line and the deadline's line go to a console descriptor of
        // their own: a plugin may close descriptor 1 and another file take it.
        int const console = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        int const fd = console >= 0 ? console : STDOUT_FILENO;
        ox::core::installCrashReport(fd, ox::config::workingDirectory());
        shutdown_.setConsole(fd);
    }
    if (!ox::core::dropPrivileges(&userSwitched_)) return false;
    // Capabilities are per thread: the core's threads start with the reduced set.
    bool consoleStarted = true;
    try {
        printer_.start();
    } catch (std::system_error const& e) {
        errno = e.code().value();
        consoleStarted = false;
    }
    if (!startThread("console", consoleStarted)) return false;
    // The stop signals that main blocked are taken from here on (one that came
    // early is pending and taken now), by a thread that runs no plugin code.
    auto& signals = ox::core::StopSignals::process();
    signals.setReceiver([this] { Stop(); });
    if (!startThread("signal", signals.start())) return false;
    if (!startThread("shutdown watch", shutdown_.startWatch())) return false;

    if (pipe != -1) {
        if (!parent_.open(pipe)) {
            logSev<kLogCritical>("failed to open ipc pipe");
            printer_.stop(kConsoleFlushWait); // main does not destroy a core that failed to start
            return false;
        }
        // Processes started by the core or its plugins must not hold the parent channel open.
        ::fcntl(pipe, F_SETFD, ::fcntl(pipe, F_GETFD) | FD_CLOEXEC);
    }

    // Started here, where its failure is a failed start; it has work only once Run posts it.
    if (!startThread("I/O", io_.start())) {
        printer_.stop(kConsoleFlushWait);
        return false;
    }

    auto const logPlugin = identity_.exePath.parent_path() / "plugins" / ox::plugin::kLogPluginName;
    auto plugin = Plugin::CreateAndLoad(logPlugin, &DvrCore::eventReceiver, identity_.machineId);
    plugins_.setLogPlugin(plugin);
    plugin->Open();
    return true;
}

void DvrCore::Run() {
    loadConfig();

    if (identity_.machineId.empty())
        logSev<kLogNotice>("Startup status: code E");
    else if (identity_.machineId.find("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855") != std::string::npos)
        logSev<kLogNotice>("Startup status: code D");

    if (monitor_.enabled()) memAlarm(); // announces Throttling "0"
    boost::asio::post(io_.context(), [this] { monitor_.start(); });
    boost::asio::post(io_.context(), [this] { parent_.startReading(); });

    loadPlugins();
    openPlugins();
    try {
        postConfig();
    } catch (std::exception const& e) {
        // A configuration that cannot be saved must not stop the core.
        logSev<kLogWarning>("{}", e.what());
    }

    dispatchEvents();

    // A Close or Unload that never returns cannot be given up on like a
    // search: past the deadline the shutdown watch ends the process.
    closePlugins();
    unloadPlugins();
    // Search threads still in core code after their plugin call returned end soon;
    // one still inside a plugin at the deadline keeps the core object alive.
    if (!search_.waitIdle(stopDeadline())) shutdown_.markLeftRunning();
    // Said while the log plugin still writes: the one line that names a
    // plugin that never gave its payloads back.
    // The log plugin's own may still be given back by its Close.
    auto const logPlugin = plugins_.logPlugin();
    reportHeldReferences(kLogNotice, logPlugin && logPlugin->loaded() ? logPlugin->pluginId() : 256);
    if (!plugins_.closeLogPlugin(stopDeadline(), [this](Plugin const& p, char const* step) { shutdownStep(&p, step); }))
        shutdown_.markLeftRunning();

    // The I/O thread may be inside a plugin that never returns: the process then ends without it.
    io_.end(shutdown_.leftRunning());
}

void DvrCore::shutdownStep(Plugin const* plugin, char const* step) {
    shutdown_.setStep(plugin ? fmt::format("{} {}", step, plugin->fileName()) : std::string(step));
}

void DvrCore::Stop() {
    // The deadline runs from the request, whatever the main thread is in.
    shutdown_.requested();
    monitor_.stop();
    queue_.stop();
}

std::vector<std::filesystem::path> DvrCore::getPiFiles(std::filesystem::path const& dir) {
    return ox::plugin::discoverPlugins(dir);
}

void DvrCore::loadPlugins() {
    plugins_.load(getPiFiles(identity_.exePath.parent_path()), &DvrCore::eventReceiver, identity_.machineId,
                  [this] { return stopRequested(); });
    // core.xml is saved with the plugins of this run: one that could not be
    // opened for want of descriptors or memory would lose its settings.
    auto failed = plugins_.failed();
    if (auto const logPlugin = plugins_.logPlugin(); logPlugin && !logPlugin->loaded()) failed.push_back(logPlugin);
    for (auto const& p : failed) {
        if (confSaveBlocked_ || !p->loadShortOfResources()) continue;
        confSaveBlocked_ = true;
        logSev<kLogWarning>("{} is not saved in this run: {} could not be loaded ({})", conffn, p->fileName(),
                            p->errorText());
    }
}

void DvrCore::openPlugins() {
    plugins_.open([this] { return stopRequested(); });
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
        shutdown_.markLeftRunning();
}

void DvrCore::unloadPlugins() {
    if (!plugins_.unload(stopDeadline(), [this](Plugin const& p, char const* step) { shutdownStep(&p, step); }))
        shutdown_.markLeftRunning();
}
