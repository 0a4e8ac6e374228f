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

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

DvrCore::DvrCore(std::string const& exePath)
    : memTimer_(io_, std::chrono::steady_clock::time_point{}), ipc_(io_), exePath_(exePath) {
    logLevels_.fill(-1);
    pluginNames_.emplace(0u, "core");
}

DvrCore::~DvrCore() {
    // Search threads call into the core and its plugins: none may outlive it.
    search_.stop();
    search_.waitIdle();
    for (auto& [buffer, length] : sendQueue_) std::free(buffer);
    sendQueue_.clear();
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
    machineId_ = getMachineId();
    ::umask(077);
    // A console that goes away must not kill the core through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (!ox::core::dropPrivileges()) return false;

    if (pipe != -1) {
        boost::system::error_code ec;
        ipc_.assign(boost::asio::generic::stream_protocol(AF_UNIX, 0), pipe, ec);
        if (ec) {
            logSev<kLogCritical>("failed to open ipc pipe");
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

void DvrCore::Run() {
    signals_ = std::make_unique<boost::asio::signal_set>(io_);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        boost::system::error_code ec;
        signals_->add(sig, ec);
        if (ec) throw boost::system::system_error(ec, "add");
    }
    // One wait: the first signal starts the shutdown, later ones stay caught.
    signals_->async_wait([this](boost::system::error_code const&, int) { Stop(); });

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

    closePlugins();
    unloadPlugins();

    work_.reset();
    io_.stop();
    ioThread_ = std::jthread(); // requests stop and joins
    signals_.reset();
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

std::vector<std::shared_ptr<Plugin>> DvrCore::pluginsSnapshot() const {
    std::shared_lock lock(pluginsMutex_);
    return plugins_;
}

std::string DvrCore::pluginName(unsigned pluginId) const {
    std::shared_lock lock(pluginsMutex_);
    auto it = pluginNames_.find(pluginId);
    return it != pluginNames_.end() ? it->second : "unknown";
}
