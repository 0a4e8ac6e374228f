// The core's handle on one plugin library: its entry points, its declaration,
// its load/open results and the threads it asked for. Every call from the core
// into a plugin goes through this class, which also supplies the fallbacks for
// entries a plugin does not export.
#pragma once

#include "plugin/plugin_interface.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

/// Codes the host records when a plugin cannot be loaded or opened.
namespace LoadCode {
inline constexpr int32_t Ok = 0;
inline constexpr int32_t CannotOpen = 83;
inline constexpr int32_t MissingEntries = -101;
} // namespace LoadCode
namespace OpenCode {
inline constexpr int32_t Ok = 0;
inline constexpr int32_t MissingEntries = -102;
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

    void Open();
    void Close();
    void Unload();
    void close_handle();

    /// 0 = the plugin is done with the event; nonzero = it keeps its reference.
    int OnEvent(ox::core::EventParms const& event) const;
    /// OnEvent for a thread other than the dispatcher's (log records while
    /// stopping): skipped (0) while the plugin is being opened, closed or unloaded.
    int OnEventFromAnyThread(ox::core::EventParms const& event) const;
    void OnSearch(ox::core::EventParms const& request) const;
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
    int32_t openCode() const noexcept { return openCode_; }
    int64_t loadTimeNs() const noexcept { return loadTime_; }
    int64_t openTimeNs() const noexcept { return openTime_; }
    std::string const& errorText() const noexcept { return error_; }
    /// Answers searches: an OnSearch entry, or Read with the reader byte and a
    /// search bit in one of the searchable type words. Safe from any thread.
    bool isSearchProvider() const;

private:
    Plugin(void* handle, std::string fileName);
    void clearEntries() noexcept;

    // Entries are written on the main thread; the I/O thread and search threads
    // read them under gate_ (shared), and Close/Unload change them under gate_
    // (exclusive), so no thread calls into a plugin while it is being closed or
    // unloaded, and the library is never closed under a running call.
    void* handle_; ///< main thread (writes under gate_)
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
    PluginInfo info_{};  ///< written by Load, read-only afterwards
    std::string fileName_;
    int32_t loadCode_ = LoadCode::Ok;
    int32_t openCode_ = OpenCode::Ok;
    int64_t loadTime_ = 0;
    int64_t openTime_ = 0;
    std::string error_;
    mutable std::shared_mutex gate_; ///< shared: calls from other threads; exclusive: Close/Unload
};
