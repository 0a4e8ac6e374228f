// The one object of the core process: it owns the I/O service and its thread,
// the parent channel, the event queue, the plugins and the counters that the
// rest of the core reads and writes.
#pragma once

#include "dvrcore/event_parms.h"
#include "core/ipc_reader.h"
#include "core/memory_monitor.h"
#include "core/search_handler.h"
#include "log/console.h"
#include "log/log_level.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

class Plugin;
namespace rapidxml {
template <class Ch>
struct xmlNode;
}

/// Parent-channel counters for the status summary. Statistics only: relaxed
/// atomic increments from any thread (requests on posting threads, results on
/// the I/O thread).
struct IpcCounters {
    std::atomic<uint32_t> requestsRelayed{0};  ///< successful ipcRequest calls
    std::atomic<uint32_t> resultsDelivered{0}; ///< results handed to a plugin
    std::atomic<uint32_t> resultBytes{0};      ///< bytes of delivered results, headers included
};

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

/// Locals of the dispatch loop, lent to the status summary on every turn.
struct DispatchStats {
    std::chrono::steady_clock::duration lastSummary{}; ///< steady time of the last summary
    uint32_t inQ = 0;            ///< records left after the last one taken
    uint32_t events = 0;         ///< records taken since the last summary
    uint32_t idle = 0;           ///< idle seconds since the last summary
    uint64_t logDispatchUs = 0;  ///< time spent delivering live log records
    std::vector<std::pair<uint32_t, uint32_t>> top; ///< summary scratch: {plugin id, references}
    std::string topText;                            ///< summary scratch
};

class DeliveryClock;

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
    void incRef(char const* payload, unsigned pluginId);
    int decRef(char const* payload, unsigned pluginId);
    /// A reference for a delivery to a plugin, with its holder mark.
    void holdFor(char const* payload, unsigned pluginId);
    /// Gives back a delivery's reference unless the plugin already did.
    void releaseFor(char const* payload, unsigned pluginId);
    /// A plugin's decref: 0 released, 1 refused (not a payload it holds).
    int releaseKept(char const* payload, unsigned pluginId);

    // Memory monitor, dropping, search and the summary.
    /// Timer completion of the memory check; I/O thread (tests call it directly).
    void memCheck(boost::system::error_code const& ec);
    /// Queues the memory alarm event with the current throttling state.
    void memAlarm();
    /// 5 when a live audio/video record is dropped while throttled, else 0.
    int dropAudioVideoIf(ox::core::EventParms const& rec);
    /// 1 when, while throttled, a plugin's record is refused because too much payload waits or lives, else 0.
    int refuseOverCeiling(ox::core::EventParms const& rec);
    /// 1 when the record is a search request the search service took, else 0.
    int searchRequest(ox::core::EventParms const& event);
    /// Logs the activity summary when a minute has passed; dispatcher thread.
    void statusSummary(DispatchStats& stats);
    /// The same with a steady reading the dispatcher has just taken.
    void statusSummary(DispatchStats& stats, std::chrono::steady_clock::duration now);
    bool throttling() const noexcept { return throttling_.load(); }
    void setThrottlingEnabled(bool on) noexcept { throttlingEnabled_ = on; }
    ActivityCounters& counters() noexcept { return counters_; }
    SearchHandler& searchHandler() noexcept { return search_; }
    /// Test access: copies of the queued records (payloads still owned by the queue).
    std::vector<ox::core::EventParms> queuedSnapshot();
    MonitorProbes probes; ///< clocks, readings and the own-record hook of the monitor; set before Run

    // Parent channel.
    /// Relays a plugin's request packet to the parent; 0 queued, 1 refused.
    int ipcRequest(ox::core::EventParms const& e);
    IpcCounters const& ipcCounters() const noexcept { return ipcCounters_; }
    /// File name and version from the parent's last identity packet.
    std::pair<std::string, std::string> parentIdentity() const;

    // Logging.
    int myLogMessage(LogLevel level, std::string_view text);
    int logLevel(unsigned pluginId) const;
    /// Encrypts or decrypts a crypto record's payload in place (the poster's buffer).
    int handleCrypto(ox::core::EventParms& rec) const;
    int logLevel(ox::core::EventParms const& e) const;
    int print(ox::core::EventParms const& e) const;
    void print(unsigned pluginId, unsigned severity, std::string_view text) const;

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

    bool stopRequested() const noexcept { return stopRequested_.load(); }
    /// Time a stop may take before the core gives up on what is still running:
    /// queued records are then dropped and plugins still busy are left loaded.
    void setStopDeadline(std::chrono::milliseconds limit) noexcept { stopLimit_ = limit; }
    /// When the stop must be over; the far future before Stop.
    std::chrono::steady_clock::time_point stopDeadline() const noexcept;
    /// True when the stop left a call or thread inside a plugin: the core
    /// object must then outlive the process (main ends it without deleting it).
    bool leftRunning() const noexcept { return leftRunning_; }
    /// The end-of-run report of the destructor and the console's last lines,
    /// for a core that is not deleted.
    void reportAndLeave();
    std::filesystem::path const& exePath() const noexcept { return exePath_; }
    std::string const& machineId() const noexcept { return machineId_; }

    /// Test and tool access: the plugin list as the dispatcher sees it.
    std::vector<std::shared_ptr<Plugin>> pluginsSnapshot() const;
    /// Name registered for a plugin id, or "unknown".
    std::string pluginName(unsigned pluginId) const;

private:
    void ioThreadBody(std::stop_token st);
    void readProduct();
    bool applyLogLevels(rapidxml::xmlNode<char> const& root);
    void throttle(bool over);
    void armMemCheck(std::chrono::steady_clock::time_point expiry);
    void reportHeldReferences();
    /// Notes what the shutdown is doing, for the watch that ends a stop gone past its deadline.
    void shutdownStep(Plugin const* plugin, char const* step);
    /// Runs beside closing and unloading; ends the process once the deadline and a grace have passed.
    void watchShutdown(std::stop_token const& st);
    /// A record left the queue: its poster's queued bytes go down; under queueMutex_.
    void unqueued(ox::core::EventParms const& e) noexcept;
    /// Releases every queued record undelivered once the stop deadline has passed; under queueMutex_.
    void dropQueuedPastDeadline(std::unique_lock<std::mutex>& lock);
    void ipcSend();
    void ipcPostRead();
    void ipcReadComplete(boost::system::error_code const& ec, unsigned bytes);
    void ipcPacket(std::string_view packet);
    void ipcResult(std::string_view packet, uint32_t routing);
    std::string sourceName(uint32_t source) const;
    /// A log record while stopping, straight to the log plugin in a reference block of its own.
    void handToLogPlugin(Plugin const& logPlugin, ox::core::EventParms const& e) const;
    /// Delivers to every matching plugin, the first delivery timed from `start`
    /// when that is set; returns the end of the last delivery, or none.
    std::chrono::steady_clock::time_point deliver(ox::core::EventParms const& e, DispatchStats& stats,
                                                  DeliveryClock& clock, std::chrono::steady_clock::time_point start);

    std::string machineId_;                  ///< set once by Init, read-only afterwards
    /// Per plugin id, -1 = none; the main thread stores, any thread loads (relaxed: no other data hangs on them).
    std::array<std::atomic<int32_t>, 256> logLevels_;
    std::shared_ptr<Plugin> logPlugin_;      ///< set by Init (main thread)
    std::vector<std::shared_ptr<Plugin>> plugins_;       ///< event order; changed under pluginsMutex_
    std::vector<std::shared_ptr<Plugin>> failedPlugins_; ///< main thread
    std::unordered_map<uint32_t, std::string> pluginNames_; ///< changed under pluginsMutex_
    mutable std::shared_mutex pluginsMutex_; ///< excludes readers while the main thread changes the plugin set
    boost::asio::io_context io_;
    boost::asio::steady_timer memTimer_;     ///< I/O thread (and Run before the thread starts)
    bool memTimerPending_ = false;           ///< I/O thread
    boost::asio::generic::stream_protocol::socket ipc_; ///< parent channel; I/O thread
    std::deque<std::pair<char*, uint32_t>> sendQueue_;  ///< malloc'd buffers for the parent; I/O thread
    std::atomic<bool> ipcOpen_{false};       ///< ipc_ holds a descriptor; written on the I/O thread (and Init), read by posting threads
    ox::ipc::IpcReader ipcReader_;           ///< parent channel receive buffer and fill; I/O thread
    IpcCounters ipcCounters_;                ///< relaxed atomics, any thread
    std::mutex queueMutex_;
    std::condition_variable queueCv_;        ///< one notify per queued record, and Stop
    std::deque<ox::core::EventParms> queue_; ///< under queueMutex_
    /// Set under queueMutex_ by the dispatcher as it returns: from then on the queue refuses every record.
    bool queueClosed_ = false;
    uint32_t lateCoreRecords_ = 0; ///< the core's own records refused once closed; under queueMutex_
    /// Payload bytes queued per plugin id of the poster: written under queueMutex_
    /// (queueEvent adds, the dispatcher subtracts), read without it while memory is short.
    std::array<std::atomic<size_t>, 256> queuedBytes_{};
    /// queue_.size(), stored under queueMutex_; read without it by the dispatcher while it spins
    std::atomic<size_t> queueLength_{0};
    std::filesystem::path exePath_;          ///< canonical path of the executable
    std::string product_ = "orvelStudio";    ///< from the product description
    std::string version_ = kVersion;
    std::string parentFile_, parentVersion_; ///< from the parent identity packet; under parentMutex_
    mutable std::mutex parentMutex_;         ///< written on the I/O thread, read by the status document
    bool consoleColours_ = true;
    std::atomic<bool> background_{false};    ///< set by the parent identity packet; read by the printer
    /// Console lines; started by Init, stopped by the destructor (own lock and thread).
    mutable ox::log::Console console_;
    std::atomic<bool> stopRequested_{false};
    /// Time of the first Stop; written once by Stop, read by the shutdown.
    /// (A lock, not a 64-bit atomic: the appliance's 32-bit MIPS has none.)
    mutable std::mutex stopAtMutex_;
    std::optional<std::chrono::steady_clock::time_point> stopAt_; ///< under stopAtMutex_
    std::chrono::milliseconds stopLimit_{std::chrono::seconds(60)}; ///< main thread, before Run
    bool leftRunning_ = false;               ///< main thread: set by the shutdown
    /// After the deadline, what closing and unloading may still take before the process is ended.
    static constexpr auto kForcedExitGrace = std::chrono::seconds(3);
    /// Exit status of a process ended by that watch.
    static constexpr int kForcedExitStatus = 1;
    std::mutex shutdownMutex_;               ///< guards shutdownStep_
    std::string shutdownStep_ = "stopping";  ///< under shutdownMutex_: the plugin call the shutdown is in
    bool throttlingEnabled_ = true;          ///< from configuration
    std::atomic<bool> throttling_{false};    ///< written on the I/O thread, read by posting threads
    std::atomic<bool> ceilingReported_{false}; ///< refusal under the queue ceiling logged; cleared as an episode begins
    std::array<std::atomic<bool>, 256> oversizeReported_{}; ///< per plugin id: an oversized post was logged; any thread
    int64_t lastOverLimit_ = std::numeric_limits<int64_t>::max(); ///< I/O thread
    /// Limits and time points of the memory check, set on its first call; I/O thread.
    struct MemCheckState {
        bool started = false;
        uint64_t limit = 0;      ///< throttling limit, bytes
        uint64_t stackLimit = 0; ///< only reported
        std::chrono::steady_clock::time_point lastCheck;
        std::chrono::system_clock::time_point lastWall;
    } memState_;
    std::atomic<uint32_t> memInUse_{0}; ///< last measurement; written on the I/O thread, read by the summary
    uint32_t memAtLastSummary_ = 0;     ///< dispatcher thread
    ActivityCounters counters_;         ///< relaxed atomics, any thread
    std::array<std::atomic<bool>, 256> badReleaseReported_{}; ///< per plugin id; any thread
    SearchHandler search_;              ///< own locks; its threads are waited for before plugins close
    std::unique_ptr<boost::asio::signal_set> signals_;             ///< created by Init, destroyed by Run; main thread
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    std::jthread ioThread_;                  ///< runs io_; started and joined by Run

    /// Creates the stop-signal set and lets the main thread receive the stop
    /// signals that main blocked; false (logged) when a signal cannot be added.
    bool installStopSignals();
    /// Takes the working directory's lock; false (logged) when another core holds it.
    bool lockWorkingDirectory();
    /// Reserves room for a request in the send queue; false (logged once) when full.
    bool reserveSend(uint32_t length);
    /// Gives back what reserveSend took; I/O thread, or the poster on failure.
    void releaseSend(uint32_t length);
    /// Builds and queues the memory alarm; the queue's result.
    int queueMemAlarm();
    /// Puts an unusable core.xml aside before the defaults are saved over it.
    void keepDamagedConfig();
    int lockFd_ = -1;              ///< dvrcore.lock, locked for the life of the core; main thread
    bool userSwitched_ = false;    ///< the privilege drop took on another user; set by Init
    bool confSaveBlocked_ = false; ///< core.xml could not be kept aside: never saved over; main thread
    /// Bytes and entries of the send queue, reserved by posting threads before
    /// they post and released on the I/O thread when the entry is written.
    std::atomic<uint32_t> sendQueuedBytes_{0}, sendQueuedEntries_{0};
    std::atomic<bool> sendQueueFull_{false}; ///< between the first refusal and the drain; any thread
    std::atomic<uint32_t> sendRefused_{0};   ///< refusals since the queue filled; any thread
    std::atomic<bool> alarmPending_{false};  ///< a memory alarm could not be queued; retried by memCheck
};

/// The one core object, or null before main has built it. Exported for plugins.
DvrCore* GetCore();
/// Publishes the core object (main, and tests that host a core in-process).
void SetCore(DvrCore* core);
