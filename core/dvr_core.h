// The one object of the core process: the facade over its subsystems (event
// queue, parent channel, memory monitor, plugin set, search service, console
// echo), which it owns and wires together, with the I/O service and its
// thread, the start-up and the shutdown order.
#pragma once

#include "core/event_queue.h"
#include "core/memory_monitor.h"
#include "core/parent_channel.h"
#include "core/ref_block.h"
#include "core/search_handler.h"
#include "core/shutdown.h"
#include "core/status_summary.h"
#include "core/work_dir_lock.h"
#include "dvrcore/event_parms.h"
#include "log/console_printer.h"
#include "log/log_level.h"
#include "log/log_levels.h"
#include "plugin/plugin_set.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

class Plugin;
class DeliveryClock;
namespace rapidxml {
template <class Ch>
struct xmlNode;
}

/// Dropping and search counters for the status summary. Statistics only:
/// relaxed atomic increments from any thread; the summary reads and resets them.
struct ActivityCounters {
    std::atomic<uint32_t> throttledVideo{0};    ///< live video refused while throttled
    std::atomic<uint32_t> throttledAudio{0};    ///< live audio refused while throttled
    std::atomic<uint32_t> searchRequests{0};    ///< requests that reached the provider scan
    std::atomic<uint32_t> searchCancels{0};     ///< cancel commands
    std::atomic<uint32_t> searchResults{0};     ///< results accepted from search threads
    std::atomic<uint32_t> searchResultBytes{0}; ///< their payload bytes
};

class DvrCore {
public:
    static constexpr char const* conffn = "core.xml";
    static constexpr char const* kVersion = "26.0.6.0";

    explicit DvrCore(std::string const& exePath);
    DvrCore(DvrCore const&) = delete;
    DvrCore& operator=(DvrCore const&) = delete;
    ~DvrCore();

    bool Init(int pipe);
    void Run();
    /// Requests shutdown; any thread, any number of times.
    void Stop();

    // Event path.
    /// The posting callback handed to every plugin. Never throws into plugin code.
    static int eventReceiver(ox::core::EventParms* rec, void* context);
    int pluginEvent(ox::core::EventParms& rec);
    int queueEvent(ox::core::EventParms& rec);
    void dispatchEvents();
    void incRef(char const* payload, unsigned pluginId) { oxmem::addRef(payload, pluginId); }
    int decRef(char const* payload, unsigned pluginId) {
        oxmem::release(payload, pluginId);
        return 0;
    }
    /// A plugin's decref: 0 released, 1 refused (not a payload it holds).
    int releaseKept(char const* payload, unsigned pluginId);
    /// 1 when the record is a search request the search service took, else 0.
    int searchRequest(ox::core::EventParms const& event);
    /// Encrypts or decrypts a crypto record's payload in place (the poster's buffer).
    int handleCrypto(ox::core::EventParms& rec) const;
    /// Test access: copies of the queued records (payloads still owned by the queue).
    std::vector<ox::core::EventParms> queuedSnapshot() const { return queue_.snapshot(); }

    // Memory monitor and dropping.
    void memCheck(boost::system::error_code const& ec) { monitor_.check(ec); }
    void memAlarm() { monitor_.alarm(); }
    void throttle(bool over) { monitor_.throttle(over); }
    bool throttling() const noexcept { return monitor_.throttling(); }
    void setThrottlingEnabled(bool on) noexcept { monitor_.setEnabled(on); }
    /// 5 when a live audio/video record is dropped while throttled, else 0.
    int dropAudioVideoIf(ox::core::EventParms const& rec);
    /// 1 when, while throttled, a plugin's record (whatever its address word) is refused because too much payload waits or lives, else 0.
    int refuseOverCeiling(ox::core::EventParms const& rec);
    MonitorProbes& probes; ///< the monitor's clocks and readings, also the summary's; set before Run

    // Status summary.
    /// Logs the activity summary when a minute has passed; dispatcher thread.
    /// True when it did (it took its time).
    bool statusSummary(SummaryState& state);
    bool statusSummary(SummaryState& state, std::chrono::steady_clock::duration now);
    ActivityCounters& counters() noexcept { return counters_; }
    SearchHandler& searchHandler() noexcept { return search_; }

    // Parent channel.
    /// Relays a plugin's request packet to the parent; 0 queued, 1 refused.
    int ipcRequest(ox::core::EventParms const& e) { return parent_.request(e); }
    void ipcReadComplete(boost::system::error_code const& ec, unsigned bytes) { parent_.readComplete(ec, bytes); }
    /// A parent reply for the plugin the routing word names; true when one took it.
    bool ipcResult(std::string_view packet, uint32_t routing);
    IpcCounters const& ipcCounters() noexcept { return parent_.counters(); }
    std::pair<std::string, std::string> parentIdentity() const { return parent_.identity(); }

    // Logging.
    int myLogMessage(LogLevel level, std::string_view text);
    int logLevel(unsigned pluginId) const;
    int logLevel(ox::core::EventParms const& e) const;
    /// The log filter and console echo of a posted log record; 1 when it is to be queued.
    int print(ox::core::EventParms const& e) const;
    void print(unsigned pluginId, unsigned severity, std::string_view text) const {
        printer_.print(pluginId, severity, text, parent_.background());
    }

    // Configuration.
    void loadConfig();
    void postConfig();
    void updateConfig(ox::core::EventParms const& e);

    // Plugin set.
    static std::vector<std::filesystem::path> getPiFiles(std::filesystem::path const& dir);
    void loadPlugins();
    void openPlugins();
    void closePlugins();
    void unloadPlugins();
    /// Test and tool access: the plugin list as the dispatcher sees it.
    std::vector<std::shared_ptr<Plugin>> pluginsSnapshot() const { return plugins_.snapshot(); }
    /// Name registered for a plugin id, or "unknown".
    std::string pluginName(unsigned pluginId) const { return plugins_.name(pluginId).value_or("unknown"); }

    // Stopping.
    bool stopRequested() const noexcept { return stopRequested_.load(); }
    /// Time a stop may take before the core gives up on what is still running:
    /// queued records are then dropped and plugins still busy are left loaded;
    /// three seconds later the process ends whatever it is doing.
    void setStopDeadline(std::chrono::milliseconds limit) { shutdown_.setLimit(limit); }
    /// When the stop must be over; the far future before Stop.
    std::chrono::steady_clock::time_point stopDeadline() const { return shutdown_.deadline(); }
    /// True when the stop left a call or thread inside a plugin: the core
    /// object must then outlive the process (main ends it without deleting it).
    bool leftRunning() const { return shutdown_.leftRunning(); }
    /// The end-of-run report of the destructor and the console's last lines,
    /// for a core that is not deleted.
    void reportAndLeave();
    std::filesystem::path const& exePath() const noexcept { return exePath_; }
    std::string const& machineId() const noexcept { return machineId_; }

private:
    /// Who posted a record: the core's own log writer is never capped by the memory ceilings.
    enum class PostedBy : uint8_t { Plugin, Core };
    int routeEvent(ox::core::EventParms& rec, PostedBy by);
    void ioThreadBody(std::stop_token st);
    void readProduct();
    bool applyLogLevels(rapidxml::xmlNode<char> const& root);
    /// Logs the references plugins still hold, at `level`, skipping ids already reported.
    void reportHeldReferences(LogLevel level, unsigned skipId = 256);
    /// Notes what the shutdown is doing, for the watch that ends a stop gone past its deadline.
    void shutdownStep(Plugin const* plugin, char const* step);
    /// Starts a thread of the core's own at Init; false (logged at severity 100) when it cannot be.
    bool startThread(char const* what, bool started);
    /// Releases `first` and every queued record undelivered: the stop deadline has passed.
    void dropPastDeadline(ox::core::EventParms const& first);
    /// A log record while stopping, straight to the log plugin in a reference block of its own.
    void handToLogPlugin(Plugin const& logPlugin, ox::core::EventParms const& e) const;
    /// Delivers to every matching plugin, the first delivery timed from `start`
    /// when that is set; returns the end of the last delivery, or none.
    std::chrono::steady_clock::time_point deliver(ox::core::EventParms const& e, SummaryState& state,
                                                  DeliveryClock& clock, std::chrono::steady_clock::time_point start);
    /// Puts an unusable core.xml aside before the defaults are saved over it.
    void keepDamagedConfig();

    std::filesystem::path exePath_; ///< canonical path of the executable
    std::string machineId_;         ///< set once by Init, read-only afterwards
    std::string product_ = "orvelStudio"; ///< from the product description
    std::string version_ = kVersion;
    ox::log::LogLevels logLevels_; ///< per plugin id; its own atomics, any thread

    boost::asio::io_context io_;
    ox::plugin::PluginSet plugins_;
    ox::core::EventQueue queue_;
    ox::core::ParentChannel parent_;
    ox::core::MemoryMonitor monitor_;
    SearchHandler search_; ///< its threads are waited for before plugins close
    /// Console lines; started by Init, stopped by the destructor.
    ox::log::ConsolePrinter printer_;
    ActivityCounters counters_; ///< relaxed atomics, any thread

    std::atomic<bool> stopRequested_{false};
    /// Stop time, deadline, step and the watch; its own lock. After printer_,
    /// which its watch flushes, so that it goes first.
    ox::core::Shutdown shutdown_;
    std::array<std::atomic<bool>, 256> heldReported_{}; ///< per plugin id: its held references were reported; main thread

    std::array<std::atomic<bool>, 256> oversizeReported_{}; ///< per plugin id: an oversized post was logged; any thread
    std::array<std::atomic<bool>, 256> badReleaseReported_{}; ///< per plugin id; any thread
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::jthread ioThread_;        ///< runs io_; started by Init, joined by Run unless a plugin call may hold it
    ox::core::WorkDirLock workDirLock_; ///< taken by Init, released with the core; main thread
    bool userSwitched_ = false;    ///< the privilege drop took on another user; set by Init
    bool confSaveBlocked_ = false; ///< core.xml could not be kept aside: never saved over; main thread
};

/// The one core object, or null before main has built it. Exported for plugins.
DvrCore* GetCore();
/// Publishes the core object (main, and tests that host a core in-process);
/// while one is published, logSev's messages become its log events.
void SetCore(DvrCore* core);
