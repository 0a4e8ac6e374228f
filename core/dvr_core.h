// The one object of the core process: the facade over its subsystems (event
// queue, parent channel, memory monitor, plugin set, search service, console
// echo), which it owns and wires together, with the I/O service and its
// thread, the start-up and the shutdown order.
#pragma once

#include "core/activity_counters.h"
#include "core/core_identity.h"
#include "core/event_queue.h"
#include "core/io_service.h"
#include "core/memory_monitor.h"
#include "core/parent_channel.h"
#include "core/plugin_reports.h"
#include "core/ref_block.h"
#include "core/search_handler.h"
#include "core/shutdown.h"
#include "core/status_summary.h"
#include "core/work_dir_lock.h"
#include "dvrcore/event_parms.h"
#include "dvrcore/version.h"
#include "log/console_printer.h"
#include "log/log_level.h"
#include "log/log_levels.h"
#include "plugin/plugin_set.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class Plugin;
class DeliveryClock;
namespace rapidxml {
template <class Ch>
struct xmlNode;
}

class DvrCore {
public:
    static constexpr char const* conffn = "core.xml";
    static constexpr char const* kVersion = OX_SDK_VERSION_STRING;

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
    // A payload's references. The queue takes and, on a refusal, gives back its
    // own with these. A delivery takes the plugin's with its holder mark
    // (oxmem::holdFor/releaseFor), which a plugin's decref must find; the
    // dispatcher gives the queue's back with oxmem::releaseKeepingBlock, whose
    // block it frees under the lock of its next take.
    /// Takes a reference to a payload block for `pluginId` (0: the queue's own).
    void incRef(char const* payload, unsigned pluginId) { oxmem::addRef(payload, pluginId); }
    /// Gives back a reference taken with incRef; the last one frees the block. Always 0.
    int decRef(char const* payload, unsigned pluginId) {
        oxmem::release(payload, pluginId);
        return 0;
    }
    /// 1 when the record is a search request the search service took, else 0.
    int searchRequest(ox::core::EventParms const& event);
    /// Encrypts or decrypts a crypto record's payload in place (the poster's buffer).
    int handleCrypto(ox::core::EventParms& rec) const;
    /// 5 when a live audio/video record is dropped while throttled, else 0.
    int dropAudioVideoIf(ox::core::EventParms const& rec);

    // Memory monitor: its check, the throttling and the alarm run on the I/O thread.
    /// Queues the memory alarm event with the current throttling state.
    void memAlarm() { monitor_.alarm(); }

    // Parent channel.
    /// Relays a plugin's request packet to the parent; 0 queued, 1 refused.
    int ipcRequest(ox::core::EventParms const& e) { return parent_.request(e); }

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

    // Stopping.
    /// When the stop must be over; the far future before Stop.
    std::chrono::steady_clock::time_point stopDeadline() const { return shutdown_.deadline(); }
    /// True when the stop left a call or thread inside a plugin: the core
    /// object must then outlive the process (main ends it without deleting it).
    bool leftRunning() const { return shutdown_.leftRunning(); }
    /// The end-of-run report of the destructor and the console's last lines,
    /// for a core that is not deleted.
    void reportAndLeave();

private:
    /// The tests' one way in (tests/support/core_test_access.h).
    friend class DvrCoreTestAccess;

    /// Who posted a record: the core's own log writer is never capped by the memory ceilings.
    enum class PostedBy : uint8_t { Plugin, Core };
    int routeEvent(ox::core::EventParms& rec, PostedBy by);
    /// A plugin's decref: 0 released, 1 refused (not a payload it holds).
    int releaseKept(char const* payload, unsigned pluginId);
    /// 1 when, while throttled, a plugin's record (whatever its address word) is refused because too much payload waits or lives, else 0.
    int refuseOverCeiling(ox::core::EventParms const& rec);
    /// A parent reply for the plugin the routing word names; true when one took it.
    bool ipcResult(std::string_view packet, uint32_t routing);
    /// Logs the activity summary when a minute has passed; dispatcher thread.
    /// True when it did (it took its time).
    bool statusSummary(SummaryState& state, std::chrono::steady_clock::duration now);
    /// Name registered for a plugin id, or "unknown".
    std::string pluginName(unsigned pluginId) const { return plugins_.name(pluginId).value_or("unknown"); }
    bool stopRequested() const noexcept { return shutdown_.stopRequested(); }
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

    ox::core::CoreIdentity identity_; ///< main thread before plugins load; read-only afterwards
    ox::log::LogLevels logLevels_; ///< per plugin id; its own atomics, any thread

    /// Before the subsystems that post to it, so that it goes after them.
    ox::core::IoService io_;
    ox::plugin::PluginSet plugins_;
    ox::core::EventQueue queue_;
    ox::core::ParentChannel parent_;
    ox::core::MemoryMonitor monitor_;
    SearchHandler search_; ///< its threads are waited for before plugins close
    /// Console lines; started by Init, stopped by the destructor.
    ox::log::ConsolePrinter printer_;
    ActivityCounters counters_; ///< relaxed atomics, any thread
    /// The stop request, its time and deadline, the shutdown's step, what was
    /// left running and the watch; its own lock. After printer_, which its
    /// watch flushes, so that it goes first.
    ox::core::Shutdown shutdown_;
    ox::core::PluginReports reports_;   ///< once-per-plugin messages; relaxed flags, any thread
    ox::core::WorkDirLock workDirLock_; ///< taken by Init, released with the core; main thread
    bool userSwitched_ = false;    ///< the privilege drop took on another user; set by Init, main thread
    /// core.xml was not read, could not be kept aside, or a plugin whose
    /// settings it may hold could not be opened for want of descriptors or
    /// memory: never saved over in this run. Set by loadConfig and
    /// loadPlugins before the dispatcher runs; read by the saves.
    bool confSaveBlocked_ = false;
};

/// The one core object, or null before main has built it. Exported for plugins.
DvrCore* GetCore();
/// Publishes the core object (main, and tests that host a core in-process);
/// while one is published, logSev's messages become its log events.
void SetCore(DvrCore* core);
