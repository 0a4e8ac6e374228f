#include "plugin/plugin.h"

#include "log/log.h"
#include "plugin/dlloader.h"

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>

namespace {

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename Fn>
Fn entry(void* handle, char const* name) {
    return reinterpret_cast<Fn>(dlloader::sym(handle, name));
}

template <typename Record>
Record head(uint32_t version) {
    Record r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    r.version = version;
    return r;
}

} // namespace

Plugin::Plugin(void* handle, std::string fileName) : handle_(handle), fileName_(std::move(fileName)) {
    info_.size = sizeof(PluginInfo);
    info_.version = 3;
}

std::shared_ptr<Plugin> Plugin::CreateAndLoad(std::filesystem::path const& path, Callback callback,
                                              std::string_view identity) {
    auto fileName = path.filename().string();
    void* handle = dlloader::load(path.c_str());
    std::shared_ptr<Plugin> p(new Plugin(handle, std::move(fileName)));
    if (!handle) {
        p->loadCode_ = dlloader::error();
        p->error_ = dlloader::errmsg();
        return p;
    }
    p->load_ = entry<ox_LoadFn>(handle, "Load");
    p->unload_ = entry<ox_UnloadFn>(handle, "Unload");
    if (!p->load_ || !p->unload_) {
        p->loadCode_ = LoadCode::MissingEntries;
        p->error_ = "missing Load()/Unload()";
        p->close_handle();
        return p;
    }
    auto params = head<LoadParams>(4);
    params.callback = callback;
    params.identity = identity.data();
    params.identityLen = static_cast<uint32_t>(identity.size());
    int64_t const t0 = steadyNowNs();
    int const r = p->load_(&params, &p->info_);
    p->loadTime_ = steadyNowNs() - t0;
    p->loadCode_ = r;
    if (r == 0) {
        p->onIpcResult_ = entry<ox_OnIpcResultFn>(handle, "OnIpcResult");
        p->ioctl_ = entry<ox_IoctlFn>(handle, "IOCTL");
        return p;
    }
    p->error_ = fmt::format("load code {}", r);
    p->close_handle();
    return p;
}

Plugin::~Plugin() {
    Close();
    Unload();
}

std::string_view Plugin::shortName() const noexcept {
    std::string_view name(fileName_);
    return name.substr(0, name.find('.'));
}

void Plugin::Open() {
    if (open_) return;
    open_ = entry<ox_OpenFn>(handle_, "Open");
    close_ = entry<ox_CloseFn>(handle_, "Close");
    if (!open_ || !close_) {
        openCode_ = OpenCode::MissingEntries;
        error_ = "missing Open()/Close()";
        return;
    }
    {
        std::unique_lock lock(gate_);
        onEvent_ = entry<ox_OnEventFn>(handle_, "OnEvent");
        onSearch_ = entry<ox_OnSearchFn>(handle_, "OnSearch");
        read_ = entry<ox_ReadFn>(handle_, "Read");
        write_ = entry<ox_WriteFn>(handle_, "Write");
    }
    auto params = head<OpenParams>(1);
    auto result = head<OpenResult>(1);
    int64_t const t0 = steadyNowNs();
    open_(&params, &result);
    openTime_ = steadyNowNs() - t0;
    StartAsyncReaderIf();
}

void Plugin::Close() {
    // Waits for searches and parent replies already inside the plugin, and
    // keeps new ones out until Close has returned.
    std::unique_lock lock(gate_);
    if (close_) {
        auto params = head<CloseParams>(1);
        auto result = head<CloseResult>(1);
        close_(&params, &result);
    }
    open_ = nullptr;
    close_ = nullptr;
    onEvent_ = nullptr;
    onSearch_ = nullptr;
    read_ = nullptr;
    write_ = nullptr;
}

void Plugin::Unload() {
    // The plugin's own threads end when its Read or IOCTL call returns.
    if (reader_.joinable()) reader_.join();
    if (worker_.joinable()) worker_.join();
    std::unique_lock lock(gate_);
    if (unload_) {
        auto params = head<UnloadParams>(1);
        auto result = head<UnloadResult>(1);
        unload_(&params, &result);
    }
    lock.unlock();
    close_handle();
}

void Plugin::clearEntries() noexcept {
    load_ = nullptr;
    unload_ = nullptr;
    open_ = nullptr;
    close_ = nullptr;
    onIpcResult_ = nullptr;
    onEvent_ = nullptr;
    onSearch_ = nullptr;
    read_ = nullptr;
    write_ = nullptr;
    ioctl_ = nullptr;
}

void Plugin::close_handle() {
    std::unique_lock lock(gate_);
    clearEntries();
    if (handle_) dlloader::close(handle_);
    handle_ = nullptr;
}

int Plugin::OnEvent(ox::core::EventParms const& event) const {
    if (onEvent_) return onEvent_(&event);
    if (event.type == OX_TYPE_CONFIG) {
        if (!ioctl_) return 0;
        auto params = head<IoctlParams>(1);
        auto result = head<IoctlResult>(1);
        params.code = result.code = OX_IOCTL_CONFIG_EVENT;
        params.dataLen = event.dataLen;
        params.data = event.data;
        ioctl_(&params, &result);
        return result.keep != 0 ? 1 : 0;
    }
    if (write_ && info_.writeEvents) {
        auto params = head<WriteParams>(1);
        static_assert(sizeof params.event == sizeof event - offsetof(ox::core::EventParms, dataLen));
        std::memcpy(params.event, &event.dataLen, sizeof params.event);
        auto result = head<WriteResult>(1);
        write_(&params, &result);
        return result.keep != 0 ? 1 : 0;
    }
    return 0;
}

int Plugin::OnEventFromAnyThread(ox::core::EventParms const& event) const {
    // try: the plugin itself may log from inside its Close or Unload.
    std::shared_lock lock(gate_, std::try_to_lock);
    if (!lock.owns_lock()) return 0;
    return OnEvent(event);
}

bool Plugin::isSearchProvider() const {
    std::shared_lock lock(gate_); // entries change while plugins open and close
    if (onSearch_) return true;
    uint32_t const words = info_.video | info_.audio | info_.alarm | info_.log | info_.pos | info_.analytic;
    return read_ && info_.asyncReader && (words & OX_SEARCHABLE) != 0;
}

void Plugin::OnSearch(ox::core::EventParms const& request) const {
    std::shared_lock lock(gate_);
    if (onSearch_) {
        onSearch_(&request);
    } else if (read_ && info_.asyncReader) {
        auto params = head<ReadParams>(1);
        params.flag = 1;
        params.dataLen = request.dataLen;
        params.data = request.data;
        params.requestId = request.requestId;
        read_(&params, nullptr);
    }
}

void Plugin::OnIpcResult(std::string_view bytes) const {
    std::shared_lock lock(gate_);
    if (onIpcResult_) {
        onIpcResult_(bytes.data(), bytes.size());
    } else if (ioctl_) {
        auto params = head<IoctlParams>(1);
        auto result = head<IoctlResult>(1);
        params.code = result.code = OX_IOCTL_IPC_RESULT;
        params.dataLen = static_cast<uint32_t>(bytes.size());
        params.data = bytes.data();
        ioctl_(&params, &result);
    }
}

void Plugin::ProvideWorkerThreadIf() {
    if (!ioctl_ || !info_.workerThread) return;
    try {
        worker_ = std::thread([fn = ioctl_] {
            auto params = head<IoctlParams>(1);
            auto result = head<IoctlResult>(1);
            params.code = result.code = OX_IOCTL_WORKER_THREAD;
            fn(&params, &result);
        });
    } catch (std::system_error const& e) {
        logSev<kLogWarning>("{}: cannot start worker thread: {}", fileName_, e.what());
    }
}

void Plugin::StartAsyncReaderIf() {
    if (!read_ || !info_.asyncReader) return;
    try {
        reader_ = std::thread([fn = read_] {
            auto params = head<ReadParams>(1);
            params.flag = 1;
            fn(&params, nullptr);
        });
    } catch (std::system_error const& e) {
        logSev<kLogWarning>("{}: cannot start reader thread: {}", fileName_, e.what());
    }
}
