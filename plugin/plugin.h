// The core's handle on one plugin library: its entry points, its declaration,
// its load/open results and the threads it asked for. Every call from the core
// into a plugin goes through this class, which also supplies the fallbacks for
// entries a plugin does not export.
#pragma once

#include "dvrcore/plugin_interface.h"
#include "plugin/dlloader.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

/// Codes the host records when a plugin cannot be loaded or opened.
namespace LoadCode {
inline constexpr int32_t Ok = 0;
inline constexpr int32_t CannotOpen = dlloader::kCannotOpen;
inline constexpr int32_t MissingEntries = -101;
inline constexpr int32_t Threw = -103; ///< Load threw an exception
} // namespace LoadCode
namespace OpenCode {
inline constexpr int32_t Ok = 0;
inline constexpr int32_t MissingEntries = -102;
inline constexpr int32_t Threw = -104; ///< Open threw an exception
} // namespace OpenCode

class Plugin {
public:
    using Callback = int (*)(ox::core::EventParms*, void*);

    /// Opens the library and calls its Load; always returns an object, whose
    /// loaded state is read from loaded(), loadCode() and errorText().
    static std::shared_ptr<Plugin> CreateAndLoad(std::filesystem::path const& path, Callback callback,
                                                 std::string_view identity);

    Plugin(Plugin const&) = delete;
    Plugin& operator=(Plugin const&) = delete;
    /// Closes (if Close is known) and unloads a plugin that is still loaded.
    ~Plugin();

    using Deadline = std::chrono::steady_clock::time_point;

    void Open();
    /// Waits (until `deadline`) for event calls from other threads that were
    /// let in before the close began, then calls the plugin's Close.
    void Close(Deadline deadline = Deadline::max());
    void Unload();
    /// Unload that gives up at `deadline` while the plugin's threads or calls
    /// from other threads are still inside it: the library then stays loaded
    /// for the rest of the process and false is returned.
    bool Unload(Deadline deadline);
    void close_handle();
    /// True once an Unload gave up on a call or thread still inside the plugin.
    bool leftLoaded() const;

    /// 0 = the plugin is done with the event; nonzero = it keeps its reference.
    int OnEvent(ox::core::EventParms const& event) const;
    /// OnEvent for a thread other than the dispatcher's (log records while
    /// stopping): skipped (0) once the plugin's Close has begun.
    int OnEventFromAnyThread(ox::core::EventParms const& event) const;
    /// A search counted as inside the plugin from its launch until the ticket
    /// goes, so that Unload waits for it; null once the plugin is closing.
    using SearchTicket = std::shared_ptr<void const>;
    SearchTicket admitSearch() const;
    /// Runs an admitted search on the calling thread.
    void OnSearch(ox::core::EventParms const& request, SearchTicket const& ticket) const;
    void OnIpcResult(std::string_view bytes) const;
    void ProvideWorkerThreadIf();
    void StartAsyncReaderIf();
    bool consumerMatch(ox::core::EventParms const& event) const;

    bool loaded() const noexcept { return handle_ != nullptr; }
    PluginInfo const& info() const noexcept { return info_; }
    uint32_t address() const noexcept { return info_.address; }
    unsigned pluginId() const noexcept { return ox::core::pluginIdOf(info_.address); }
    std::string const& fileName() const noexcept { return fileName_; }
    /// The file name cut before its first '.'.
    std::string_view shortName() const noexcept;
    int32_t loadCode() const noexcept { return loadCode_; }
    /// The library could not be opened for lack of descriptors or memory: it
    /// may be sound, and its settings in core.xml are still the user's.
    bool loadShortOfResources() const { return loadCode_ == LoadCode::CannotOpen && dlloader::shortOfResources(error_); }
    int32_t openCode() const noexcept { return openCode_; }
    int64_t loadTimeNs() const noexcept { return loadTime_; }
    int64_t openTimeNs() const noexcept { return openTime_; }
    std::string const& errorText() const noexcept { return error_; }
    /// Load wrote into the LoadParams it was handed: its parameters are
    /// probably swapped, and it took its declaration for the core's record.
    bool wroteLoadParams() const noexcept { return wroteLoadParams_; }
    /// Answers searches: an OnSearch entry, or Read with the reader byte and a
    /// search bit in one of the searchable type words. Safe from any thread.
    bool isSearchProvider() const;

private:
    /// Where the plugin is in its life, as far as calls from other threads care.
    enum class Phase : uint8_t {
        Live,      ///< loaded or open: every call is let in
        Closing,   ///< inside Close: replies and searches admitted before only
        Closed,    ///< Close returned: replies only
        Unloading, ///< Unload has begun: nothing is let in any more
    };
    /// What a call from another thread is, for the admission rule.
    enum class CallKind : uint8_t { Reply, Event };
    class Call;
    /// End of a thread the plugin asked for, so Unload can wait for it with a deadline.
    struct ThreadEnd {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false; ///< under mutex
    };

    Plugin(void* handle, std::string fileName);
    void clearEntries() noexcept;
    /// Runs one call into the plugin, marked for the crash report; what the
    /// plugin throws is caught: false then, with its text in `what`.
    template <typename Fn>
    bool guarded(char const* entry, uint32_t eventType, Fn&& call, std::string* what = nullptr) const;
    /// Logs the first exception the plugin throws outside Load and Open.
    void reportThrow(char const* entry, std::string const& what) const;
    /// The body of a thread the plugin asked for; tells `end` when it is over.
    /// Starts one of the plugin's own threads, which signals its end; logs when it cannot.
    void startThread(std::thread& thread, std::shared_ptr<ThreadEnd>& end, char const* entry, char const* what,
                     std::function<void()> body);
    /// A counted call (or search ticket) is over; wakes Close and Unload when they wait for it.
    void callEnded(bool event) const;
    void setPhase(Phase phase);
    /// Waits for the thread to end, at most until `deadline`; detaches it and returns false then.
    bool joinBy(std::thread& thread, std::shared_ptr<ThreadEnd> const& end, Deadline deadline);

    // Entries are written on the main thread (or the thread that drops the last
    // reference) under mutex_; other threads copy them under mutex_ while they
    // are let in and call them without it. No lock is ever held while plugin
    // code runs: Close flips the phase and calls the plugin, Unload flips it and
    // waits for the calls already inside to return.
    void* handle_; ///< main thread (writes under mutex_)
    ox_LoadFn load_ = nullptr;
    ox_UnloadFn unload_ = nullptr;
    ox_OpenFn open_ = nullptr;
    ox_CloseFn close_ = nullptr;
    ox_OnIpcResultFn onIpcResult_ = nullptr;
    ox_OnEventFn onEvent_ = nullptr;
    ox_OnSearchFn onSearch_ = nullptr;
    ox_ReadFn read_ = nullptr;
    ox_WriteFn write_ = nullptr;
    ox_IoctlFn ioctl_ = nullptr;
    std::thread worker_; ///< main thread: started after load, joined by Unload
    std::thread reader_; ///< main thread: started after Open, joined by Unload
    std::shared_ptr<ThreadEnd> workerEnd_; ///< main thread; shared with the worker
    std::shared_ptr<ThreadEnd> readerEnd_; ///< main thread; shared with the reader
    PluginInfo info_{};  ///< written by Load, read-only afterwards
    std::string fileName_;
    // Results of Load and Open: written on the main thread by CreateAndLoad
    // and Open, before the dispatcher runs; read-only afterwards (the
    // configuration document reads them on the main thread and the dispatcher).
    int32_t loadCode_ = LoadCode::Ok;
    int32_t openCode_ = OpenCode::Ok;
    int64_t loadTime_ = 0;
    int64_t openTime_ = 0;
    bool wroteLoadParams_ = false; ///< set by CreateAndLoad, read-only afterwards
    std::string error_; ///< why it did not load or open; written with the codes above
    mutable std::mutex mutex_;            ///< guards the phase, the call count and the entries' writes
    mutable std::condition_variable idle_; ///< signalled when the last call from another thread leaves
    Phase phase_ = Phase::Live;           ///< under mutex_
    mutable unsigned calls_ = 0;          ///< calls from other threads inside the plugin; under mutex_
    mutable unsigned eventCalls_ = 0;     ///< those of them that deliver events; under mutex_
    mutable std::atomic<bool> threwReported_{false}; ///< an exception of the plugin was logged; any thread
    bool leftLoaded_ = false;             ///< under mutex_: an Unload gave up, the library stays mapped
};
