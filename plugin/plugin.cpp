#include "plugin/plugin.h"

#include "log/log.h"
#include "plugin/call_site.h"
#include "plugin/dlloader.h"
#include "plugin/stop_signal_mask.h"
#include "plugin/stop_wait.h"

#include <fmt/format.h>

#include <cxxabi.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

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

/// What Unload still waits once the stop deadline has passed.
constexpr auto kUnloadGrace = std::chrono::milliseconds(500);

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
    info_.version = OX_PLUGIN_INFO_VERSION;
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
    auto params = head<LoadParams>(OX_LOAD_PARAMS_VERSION);
    params.callback = callback;
    params.identity = identity.data();
    params.identityLen = static_cast<uint32_t>(identity.size());
    LoadParams sent; // byte for byte, padding included
    std::memcpy(&sent, &params, sizeof sent);
    int64_t const t0 = steadyNowNs();
    int r = 0;
    std::string what;
    bool const returned = p->guarded("Load", 0, [&] { r = p->load_(&params, &p->info_); }, &what);
    ox::plugin::blockStopSignals(); // whatever the plugin did to the mask of the core's thread
    if (!returned) {
        p->loadTime_ = steadyNowNs() - t0;
        p->loadCode_ = LoadCode::Threw;
        p->error_ = "Load threw: " + what;
        p->close_handle();
        return p;
    }
    p->loadTime_ = steadyNowNs() - t0;
    p->wroteLoadParams_ = std::memcmp(&sent, &params, sizeof params) != 0;
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

/// A call into the plugin from a thread other than the main thread: let in
/// by the phase, counted while it runs, with the entries it needs copied under
/// the lock so that Close and Unload can change them meanwhile.
class Plugin::Call {
public:
    Call(Plugin const& p, CallKind kind) : p_(p) {
        std::lock_guard lock(p.mutex_);
        switch (p.phase_) {
        case Phase::Live: in_ = true; break;
        case Phase::Closing: in_ = kind == CallKind::Reply; break;
        case Phase::Closed: in_ = kind == CallKind::Reply; break;
        case Phase::Unloading: in_ = false; break;
        }
        if (!in_) return;
        ++p.calls_;
        if (kind == CallKind::Event) ++p.eventCalls_;
        event_ = kind == CallKind::Event;
        onIpcResult = p.onIpcResult_;
        ioctl = p.ioctl_;
        onEvent = p.onEvent_;
        onSearch = p.onSearch_;
        read = p.read_;
        write = p.write_;
    }
    ~Call() {
        if (in_) p_.callEnded(event_);
    }
    Call(Call const&) = delete;
    Call& operator=(Call const&) = delete;
    explicit operator bool() const noexcept { return in_; }

    ox_OnIpcResultFn onIpcResult = nullptr;
    ox_IoctlFn ioctl = nullptr;
    ox_OnEventFn onEvent = nullptr;
    ox_OnSearchFn onSearch = nullptr;
    ox_ReadFn read = nullptr;
    ox_WriteFn write = nullptr;

private:
    Plugin const& p_;
    bool in_ = false;
    bool event_ = false; ///< counted in eventCalls_ too
};

template <typename Fn>
bool Plugin::guarded(char const* entry, uint32_t eventType, Fn&& call, std::string* what) const {
    ox::plugin::CallScope scope(fileName_.c_str(), entry, eventType);
    std::string text;
    try {
        call();
        return true;
    } catch (abi::__forced_unwind const&) {
        throw; // a thread being cancelled must unwind to its end
    } catch (std::exception const& e) {
        text = e.what();
    } catch (...) {
        text = "an exception of unknown type";
    }
    if (what)
        *what = std::move(text);
    else
        reportThrow(entry, text);
    return false;
}

void Plugin::reportThrow(char const* entry, std::string const& what) const {
    if (threwReported_.exchange(true, std::memory_order_relaxed)) return;
    logSev<kLogNotice>("{}: {} threw: {}; caught, the core runs on (further exceptions of this plugin are not logged)",
                       fileName_, entry, what);
}

namespace {

/// The event entry with its fallbacks: IOCTL for configuration events, Write
/// for plugins that take events that way.
int deliverEvent(ox::core::EventParms const& event, ox_OnEventFn onEvent, ox_IoctlFn ioctl, ox_WriteFn write,
                 bool writeEvents) {
    if (onEvent) return onEvent(&event);
    if (event.type == OX_TYPE_CONFIG) {
        if (!ioctl) return OX_EVENT_DONE;
        auto params = head<IoctlParams>(OX_IOCTL_PARAMS_VERSION);
        auto result = head<IoctlResult>(OX_IOCTL_RESULT_VERSION);
        params.code = result.code = OX_IOCTL_CONFIG_EVENT;
        params.dataLen = event.dataLen;
        params.data = event.data;
        ioctl(&params, &result);
        return result.keep != 0 ? OX_EVENT_KEEP : OX_EVENT_DONE;
    }
    if (write && writeEvents) {
        auto params = head<WriteParams>(OX_WRITE_PARAMS_VERSION);
        static_assert(sizeof params.event == sizeof event - offsetof(ox::core::EventParms, dataLen));
        std::memcpy(params.event, &event.dataLen, sizeof params.event);
        auto result = head<WriteResult>(OX_WRITE_RESULT_VERSION);
        write(&params, &result);
        return result.keep != 0 ? OX_EVENT_KEEP : OX_EVENT_DONE;
    }
    return OX_EVENT_DONE;
}

} // namespace

Plugin::~Plugin() {
    if (leftLoaded()) return; // a call or thread is still inside: nothing may be torn down
    Close();
    Unload();
}

std::string_view Plugin::shortName() const noexcept {
    std::string_view name(fileName_);
    return name.substr(0, name.find('.'));
}

void Plugin::setPhase(Phase phase) {
    std::lock_guard lock(mutex_);
    phase_ = phase;
}

void Plugin::Open() {
    if (open_) return;
    {
        std::lock_guard lock(mutex_);
        open_ = entry<ox_OpenFn>(handle_, "Open");
        close_ = entry<ox_CloseFn>(handle_, "Close");
    }
    if (!open_ || !close_) {
        openCode_ = OpenCode::MissingEntries;
        error_ = "missing Open()/Close()";
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onEvent_ = entry<ox_OnEventFn>(handle_, "OnEvent");
        onSearch_ = entry<ox_OnSearchFn>(handle_, "OnSearch");
        read_ = entry<ox_ReadFn>(handle_, "Read");
        write_ = entry<ox_WriteFn>(handle_, "Write");
        if (phase_ == Phase::Closed) phase_ = Phase::Live; // opened again after a Close
    }
    auto params = head<OpenParams>(OX_OPEN_PARAMS_VERSION);
    auto result = head<OpenResult>(OX_OPEN_RESULT_VERSION);
    int64_t const t0 = steadyNowNs();
    std::string what;
    bool const returned = guarded("Open", 0, [&] { open_(&params, &result); }, &what);
    openTime_ = steadyNowNs() - t0;
    ox::plugin::blockStopSignals(); // whatever the plugin did to the mask of the core's thread
    if (!returned) {
        openCode_ = OpenCode::Threw;
        error_ = "Open threw: " + what;
        logSev<kLogWarning>("{}: {}", fileName_, error_);
        return; // no reader for a plugin that did not open; it is still closed and unloaded
    }
    StartAsyncReaderIf();
}

void Plugin::Close(Deadline deadline) {
    // Parent replies and searches already running may still reach the plugin
    // while it closes; nothing else from other threads does. Event calls let
    // in before the phase changed (log records while stopping) leave first: a
    // plugin may close what its OnEvent writes to.
    {
        std::unique_lock lock(mutex_);
        if (phase_ == Phase::Live) phase_ = Phase::Closing;
        if (deadline == Deadline::max())
            idle_.wait(lock, [&] { return eventCalls_ == 0; });
        else
            idle_.wait_until(lock, deadline, [&] { return eventCalls_ == 0; });
    }
    // A plugin whose worker thread runs but that a stop during start-up left
    // unopened still gets its Close: that is how a worker learns to end.
    if (!close_ && worker_.joinable() && handle_) {
        std::lock_guard lock(mutex_);
        close_ = entry<ox_CloseFn>(handle_, "Close");
    }
    if (close_) {
        auto params = head<CloseParams>(OX_CLOSE_PARAMS_VERSION);
        auto result = head<CloseResult>(OX_CLOSE_RESULT_VERSION);
        guarded("Close", 0, [&] { close_(&params, &result); });
    }
    std::lock_guard lock(mutex_);
    open_ = nullptr;
    close_ = nullptr;
    onEvent_ = nullptr;
    onSearch_ = nullptr;
    read_ = nullptr;
    write_ = nullptr;
    if (phase_ == Phase::Closing) phase_ = Phase::Closed;
}

void Plugin::Unload() { Unload(Deadline::max()); }

bool Plugin::joinBy(std::thread& thread, std::shared_ptr<ThreadEnd> const& end, Deadline deadline) {
    if (!thread.joinable()) return true;
    if (end) {
        std::unique_lock lock(end->mutex);
        bool const ended = ox::plugin::waitReporting(lock, end->ended, deadline, [&] { return end->done; },
                                                     [&](std::unique_lock<std::mutex>& held) {
                                                         held.unlock();
                                                         logSev<kLogNotice>("waiting for a thread of {} to end", fileName_);
                                                         held.lock();
                                                     });
        if (!ended) {
            lock.unlock();
            thread.detach(); // it ends inside the library, which therefore stays mapped
            return false;
        }
    }
    thread.join();
    return true;
}

bool Plugin::Unload(Deadline deadline) {
    if (leftLoaded()) return false;
    // Past the deadline a plugin still gets a moment: threads told to end by
    // its Close usually need no more.
    deadline = std::max(deadline, std::chrono::steady_clock::now() + kUnloadGrace);
    // The plugin's own threads end when its Read or IOCTL call returns.
    bool const readerEnded = joinBy(reader_, readerEnd_, deadline);
    bool const workerEnded = joinBy(worker_, workerEnd_, deadline);
    std::unique_lock lock(mutex_);
    phase_ = Phase::Unloading; // nothing new gets in; wait for what is inside
    ox::plugin::waitReporting(lock, idle_, deadline, [&] { return calls_ == 0; },
                              [&](std::unique_lock<std::mutex>& held) {
                                  unsigned const inside = calls_;
                                  held.unlock(); // logging may reach a plugin: never under this lock
                                  logSev<kLogNotice>("waiting for {} call(s) into {} to return", inside, fileName_);
                                  held.lock();
                              });
    if (calls_ != 0 || !readerEnded || !workerEnded) {
        leftLoaded_ = true;
        lock.unlock();
        logSev<kLogWarning>("{} left loaded: still running at the stop deadline", fileName_);
        return false;
    }
    lock.unlock();
    if (unload_) {
        auto params = head<UnloadParams>(OX_UNLOAD_PARAMS_VERSION);
        auto result = head<UnloadResult>(OX_UNLOAD_RESULT_VERSION);
        guarded("Unload", 0, [&] { unload_(&params, &result); });
    }
    close_handle();
    return true;
}

bool Plugin::leftLoaded() const {
    std::lock_guard lock(mutex_);
    return leftLoaded_;
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
    void* handle = nullptr;
    {
        std::lock_guard lock(mutex_);
        clearEntries();
        handle = std::exchange(handle_, nullptr);
    }
    // Library destructors are plugin code: run them without the lock.
    if (handle) dlloader::close(handle);
}

int Plugin::OnEvent(ox::core::EventParms const& event) const {
    // The main thread writes the entries, so it reads them without the lock.
    // A plugin that threw may hold the payload anywhere: it counts as kept (a
    // reference never given back is reported at exit; one freed under the
    // plugin could still be in use).
    int kept = 1;
    guarded("OnEvent", event.type, [&] { kept = deliverEvent(event, onEvent_, ioctl_, write_, info_.writeEvents != 0); });
    return kept;
}

int Plugin::OnEventFromAnyThread(ox::core::EventParms const& event) const {
    // Not once Close has begun: the plugin itself may log from inside its Close.
    Call call(*this, CallKind::Event);
    if (!call) return 0;
    int kept = 1;
    guarded("OnEvent", event.type,
            [&] { kept = deliverEvent(event, call.onEvent, call.ioctl, call.write, info_.writeEvents != 0); });
    return kept;
}

bool Plugin::isSearchProvider() const {
    std::lock_guard lock(mutex_); // entries change while plugins open and close
    if (phase_ != Phase::Live) return false;
    if (onSearch_) return true;
    uint32_t const words = info_.video | info_.audio | info_.alarm | info_.log | info_.pos | info_.analytic;
    return read_ && info_.asyncReader && (words & OX_SEARCHABLE) != 0;
}

Plugin::SearchTicket Plugin::admitSearch() const {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::Live) return nullptr; // nothing new once the plugin is closing
    ++calls_;
    return SearchTicket(this, [](void const* self) { static_cast<Plugin const*>(self)->callEnded(false); });
}

void Plugin::callEnded(bool event) const {
    std::lock_guard lock(mutex_);
    bool const lastEvent = event && --eventCalls_ == 0;
    // Unload waits for the last call, Close for the last event call.
    if (--calls_ == 0 || lastEvent) idle_.notify_all();
}

void Plugin::OnSearch(ox::core::EventParms const& request, SearchTicket const& ticket) const {
    if (!ticket) return;
    ox_OnSearchFn onSearch = nullptr;
    ox_ReadFn read = nullptr;
    {
        // Admitted at launch: the entries stay until Close returns.
        std::lock_guard lock(mutex_);
        if (phase_ == Phase::Live || phase_ == Phase::Closing) {
            onSearch = onSearch_;
            read = read_;
        }
    }
    if (onSearch) {
        guarded("OnSearch", request.type, [&] { onSearch(&request); });
    } else if (read && info_.asyncReader) {
        auto params = head<ReadParams>(OX_READ_PARAMS_VERSION);
        params.flag = 1;
        params.dataLen = request.dataLen;
        params.data = request.data;
        params.requestId = request.requestId;
        guarded("Read", request.type, [&] { read(&params, nullptr); });
    }
}

void Plugin::OnIpcResult(std::string_view bytes) const {
    Call call(*this, CallKind::Reply);
    if (!call) return;
    if (call.onIpcResult) {
        guarded("OnIpcResult", 0, [&] { call.onIpcResult(bytes.data(), bytes.size()); });
    } else if (call.ioctl) {
        auto params = head<IoctlParams>(OX_IOCTL_PARAMS_VERSION);
        auto result = head<IoctlResult>(OX_IOCTL_RESULT_VERSION);
        params.code = result.code = OX_IOCTL_IPC_RESULT;
        params.dataLen = static_cast<uint32_t>(bytes.size());
        params.data = bytes.data();
        guarded("IOCTL", 0, [&] { call.ioctl(&params, &result); });
    }
}

void Plugin::startThread(std::thread& thread, std::shared_ptr<ThreadEnd>& end, char const* entry, char const* what,
                         std::function<void()> body) {
    try {
        end = std::make_shared<ThreadEnd>();
        // The thread holds the plugin object through Unload, which waits for it.
        thread = std::thread([this, entry, body = std::move(body), end = end] {
            guarded(entry, 0, body);
            std::lock_guard lock(end->mutex);
            end->done = true;
            end->ended.notify_all();
        });
    } catch (std::system_error const& e) {
        logSev<kLogWarning>("{}: cannot start {} thread: {}", fileName_, what, e.what());
    }
}

void Plugin::ProvideWorkerThreadIf() {
    if (!ioctl_ || !info_.workerThread) return;
    startThread(worker_, workerEnd_, "IOCTL", "worker", [fn = ioctl_] {
        auto params = head<IoctlParams>(OX_IOCTL_PARAMS_VERSION);
        auto result = head<IoctlResult>(OX_IOCTL_RESULT_VERSION);
        params.code = result.code = OX_IOCTL_WORKER_THREAD;
        fn(&params, &result);
    });
}

void Plugin::StartAsyncReaderIf() {
    if (!read_ || !info_.asyncReader) return;
    startThread(reader_, readerEnd_, "Read", "reader", [fn = read_] {
        auto params = head<ReadParams>(OX_READ_PARAMS_VERSION);
        params.flag = 1;
        fn(&params, nullptr);
    });
}
