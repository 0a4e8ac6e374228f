// AlarmKeeper: an example plugin to copy from. It keeps every live alarm it is
// offered and hands it to its worker thread, which logs it, posts an alarm of
// its own about it and then releases the kept payload. At open it sends the
// parent daemon a request, and it logs the replies.
#include <dvrcore/documents.h>
#include <dvrcore/ipc_packet.h>
#include <dvrcore/plugin_interface.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

constexpr uint32_t kAddress = 0x00300000u; // plugin id 0x30, unique on the appliance
constexpr unsigned kPluginId = ox::core::pluginIdOf(kAddress);
constexpr uint32_t kHelloRequest = 0x300u; // a request type agreed with the parent daemon
constexpr uint32_t kShownBytes = 120; // of an alarm's payload, in the log

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

std::mutex g_mutex;
std::condition_variable g_wake;
std::deque<ox::core::EventParms> g_kept; // under g_mutex: alarms whose payload reference we hold
bool g_closing = false;                  // under g_mutex: Close was called, the worker ends

void log(int32_t level, std::string text) {
    auto e = ox::core::makeEvent(kAddress, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, text.data(),
                                 static_cast<uint32_t>(text.size()));
    e.level = level;
    g_post(&e, nullptr); // the core copies the text before it returns
}

// Runs on the worker thread for each kept alarm; the payload is valid until the decref.
void handle(ox::core::EventParms const& alarm) {
    char line[200];
    int const shown = static_cast<int>(alarm.dataLen < kShownBytes ? alarm.dataLen : kShownBytes);
    std::snprintf(line, sizeof line, "alarm from plugin %02x: %.*s", ox::core::pluginIdOf(alarm.source), shown,
                  alarm.data);
    log(OX_LOG_INFO, line);

    // The shared alarm document (dvrcore/documents.h), with a Kind of our own.
    char xml[256];
    using namespace std::chrono;
    auto const now = static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    int const n = ox_formatAlarm(xml, sizeof xml, kAddress, ox_cameraOf(alarm.source), "Kept", 1, now);
    auto own = ox::core::makeEvent(kAddress, OX_TYPE_ALARM, OX_LIVE_CLASS | OX_XML_PAYLOAD, xml,
                                   static_cast<uint32_t>(n));
    if (g_post(&own, nullptr) != OX_POST_ACCEPTED) log(OX_LOG_NOTICE, "own alarm refused");

    // Exactly one decref per kept payload: same pointer, our own address word.
    auto release = ox::core::makeEvent(kAddress, OX_TYPE_DECREF, 0, alarm.data);
    g_post(&release, nullptr);
}

void sendHello() {
    std::string const text = "AlarmKeeper ready";
    std::string packet(OX_IPC_HEADER_SIZE + text.size(), '\0');
    ox_IpcHeader const h{static_cast<uint32_t>(packet.size()), ox_ipcRoutingOf(kAddress), kHelloRequest, 0};
    std::memcpy(packet.data(), &h, sizeof h);
    std::memcpy(packet.data() + sizeof h, text.data(), text.size());
    auto e = ox::core::makeEvent(kAddress, OX_TYPE_IPC, 0, packet.data(),
                                 static_cast<uint32_t>(packet.size()));
    if (g_post(&e, nullptr) != OX_POST_ACCEPTED) log(OX_LOG_NOTICE, "no parent daemon to greet");
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_closing = false;
    out->address = kAddress;
    out->alarm = OX_CONSUMES;
    out->workerThread = 1;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    sendHello();
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    std::lock_guard lock(g_mutex);
    g_closing = true; // the worker releases what it still holds and returns
    g_wake.notify_one();
    return 0;
}

// Dispatcher thread: every plugin waits while this runs, so only queue the alarm.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    // Configuration events reach every plugin, and our own alarms come back to us.
    if (ox::core::typeOf(*e) != OX_TYPE_ALARM || ox::core::pluginIdOf(e->source) == kPluginId || !e->data) return OX_EVENT_DONE;
    std::lock_guard lock(g_mutex);
    if (g_closing) return OX_EVENT_DONE;
    g_kept.push_back(*e);
    g_wake.notify_one();
    return OX_EVENT_KEEP; // keep the payload: the worker releases it
}

OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    std::unique_lock lock(g_mutex);
    for (;;) {
        g_wake.wait(lock, [] { return g_closing || !g_kept.empty(); });
        if (g_kept.empty()) return 0; // closing, nothing held any more
        ox::core::EventParms const alarm = g_kept.front();
        g_kept.pop_front();
        lock.unlock(); // never post under our own lock
        handle(alarm);
        lock.lock();
    }
}

// I/O thread: one complete packet whose routing word names us.
OX_PLUGIN_EXPORT int OnIpcResult(char const* data, size_t length) {
    if (length < OX_IPC_HEADER_SIZE) return 0;
    ox_IpcHeader h;
    std::memcpy(&h, data, sizeof h);
    char line[80];
    std::snprintf(line, sizeof line, "parent replied: type %u, %zu byte(s)", static_cast<unsigned>(h.type),
                  length - OX_IPC_HEADER_SIZE);
    log(OX_LOG_INFO, line);
    return 0;
}
