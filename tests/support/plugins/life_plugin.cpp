// A test plugin for the life cycle at its edges: a Close that waits for its
// own parent reply, a slow Unload, searches that end only when the plugin
// closes (or never), a slow consumer behind a backlog, the mistakes a buggy
// plugin makes with references and record heads, crashes, and a thread that
// outlives Unload. Each behaviour is chosen with a LIFE_* variable; every step
// is one trace line.
#include "dvrcore/ipc_packet.h"
#include "dvrcore/plugin_interface.h"
#include "test_plugin_support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr uint32_t kAddress = 0x00210000u;
constexpr uint32_t kSearchId = kAddress | 7u;

ox_EventCallback g_post = nullptr;
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_replied = false;  ///< under g_mutex
bool g_closing = false;  ///< under g_mutex
std::atomic<bool> g_unloaded{false};

long envNum(char const* name, long def = 0) {
    char const* v = std::getenv(name);
    return v ? std::strtol(v, nullptr, 0) : def;
}

void trace(std::string const& line) { test_plugin::trace("Life", line); }

ox::core::EventParms record(uint32_t type, uint32_t flags, char* data, uint32_t len) {
    return testing_support::Record(kAddress | 1u, type, flags, data, len);
}

int post(ox::core::EventParms& e) { return g_post(&e, nullptr); }

int postLog(std::string text) {
    auto e = record(OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, text.data(), static_cast<uint32_t>(text.size()));
    e.level = 25;
    return post(e);
}

int sendRequest() {
    ox_IpcHeader h{OX_IPC_HEADER_SIZE, ox_ipcRoutingOf(kAddress), 0x100u, 0};
    auto e = record(OX_TYPE_IPC, 0, reinterpret_cast<char*>(&h), sizeof h);
    return post(e);
}

/// The mistakes of a buggy plugin, made with a payload it was handed and kept.
void misuseReferences(char* kept) {
    auto release = [](char* p) {
        auto e = record(OX_TYPE_DECREF, 0, p, 0);
        return post(e);
    };
    char own[64] = {};
    int const first = release(kept);
    int const twice = release(kept);
    int const middle = release(kept + 8);
    int const foreign = release(own);
    int const null = g_post(nullptr, nullptr);
    trace("misuse first=" + std::to_string(first) + " twice=" + std::to_string(twice) + " middle=" +
          std::to_string(middle) + " foreign=" + std::to_string(foreign) + " null=" + std::to_string(null));
}

/// Posts until the process ends, from code that stays mapped after Unload.
void postForever() {
    for (long n = 0;; ++n) {
        char text[] = "late";
        auto e = record(OX_TYPE_ALARM, OX_LIVE_CLASS, text, 4);
        int const r = post(e);
        if (g_unloaded && r == 1 && n % 1000 == 0) trace("late post refused");
        std::this_thread::yield();
    }
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    if (std::getenv("LIFE_SWAPPED_LOAD")) {
        // Written as Load(PluginInfo* out, LoadParams const* in): the declaration lands in the core's record.
        auto* declared = reinterpret_cast<PluginInfo*>(const_cast<LoadParams*>(in));
        g_post = reinterpret_cast<LoadParams const*>(out)->callback;
        declared->address = kAddress;
        return 0;
    }
    g_post = in->callback;
    out->address = kAddress;
    if (long address = envNum("LIFE_ADDRESS")) out->address = static_cast<uint32_t>(address);
    out->alarm = OX_CONSUMES;
    if (long size = envNum("LIFE_INFO_SIZE")) out->size = static_cast<uint32_t>(size); // built against another layout
    if (std::getenv("LIFE_SEARCH_UNTIL_CLOSE") || std::getenv("LIFE_SEARCH_FOREVER")) out->video = OX_SEARCHABLE;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) {
    trace("unload begin");
    if (long ms = envNum("LIFE_SLOW_UNLOAD_MS")) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    g_unloaded = true;
    trace("unload end");
    return 0;
}

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    if (std::getenv("LIFE_OPEN_CRASH")) std::raise(SIGSEGV);
    if (std::getenv("LIFE_POST_SIZE") || std::getenv("LIFE_POST_DATALEN")) {
        // A record whose heads lie: its size head, or a payload length beyond its 16-byte buffer.
        char text[16] = "lying alarm";
        auto e = record(OX_TYPE_ALARM, OX_LIVE_CLASS, text, sizeof text);
        if (long size = envNum("LIFE_POST_SIZE")) e.size = static_cast<uint32_t>(size);
        if (long len = envNum("LIFE_POST_DATALEN")) e.dataLen = static_cast<uint32_t>(len);
        trace("lying post=" + std::to_string(post(e)));
    }
    if (std::getenv("LIFE_SEARCH_UNTIL_CLOSE") || std::getenv("LIFE_SEARCH_FOREVER")) {
        char query[16] = "camera 1";
        auto e = record(OX_TYPE_VIDEO, 0, query, sizeof query);
        e.source = 0x00000001u; // id byte 0: a search request
        e.requestId = kSearchId;
        post(e);
    }
    for (long i = 0; i < envNum("LIFE_BACKLOG"); ++i) {
        char text[8] = "backlog";
        auto e = record(OX_TYPE_ALARM, OX_LIVE_CLASS, text, sizeof text);
        post(e);
    }
    if (std::getenv("LIFE_POST_AFTER_UNLOAD")) {
        // Pinned, so that the thread's code outlives the core's dlclose.
        Dl_info self{};
        if (::dladdr(reinterpret_cast<void*>(&postForever), &self) && self.dli_fname)
            ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        std::thread(postForever).detach();
    }
    postLog("life open");
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    trace("close begin");
    std::unique_lock lock(g_mutex);
    g_closing = true;
    g_changed.notify_all();
    if (std::getenv("LIFE_CLOSE_WAITS_REPLY")) {
        lock.unlock();
        int const r = sendRequest();
        lock.lock();
        bool const got = g_changed.wait_for(lock, std::chrono::seconds(5), [] { return g_replied; });
        trace(std::string("close ") + (r == 0 && got ? "got its reply" : "without reply"));
    }
    if (std::getenv("LIFE_CLOSE_FOREVER")) g_changed.wait(lock, [] { return false; });
    trace("close end");
    return 0;
}

OX_PLUGIN_EXPORT int OnIpcResult(char const*, size_t) {
    trace(g_unloaded ? "reply after unload" : "reply");
    std::lock_guard lock(g_mutex);
    g_replied = true;
    g_changed.notify_all();
    return 0;
}

OX_PLUGIN_EXPORT int OnEvent(ox::core::EventParms const* e) {
    if ((e->type & ~OX_TYPE_MODIFIER) != OX_TYPE_ALARM || !e->data) return OX_EVENT_DONE;
    if (long ms = envNum("LIFE_SLOW_MS")) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (std::getenv("LIFE_CRASH")) std::raise(SIGSEGV); // a plugin that dies on its first alarm
    if (std::getenv("LIFE_SCRIBBLE")) e->data[0] ^= 1; // writes into the core's copy
    if (std::getenv("LIFE_FOREIGN_DECREF")) {
        // Gives the reference back under another plugin's id: the core refuses it.
        auto release = record(OX_TYPE_DECREF, 0, e->data, 0);
        release.source = 0x00220001u;
        trace("foreign decref=" + std::to_string(post(release)));
        return OX_EVENT_KEEP;
    }
    static std::atomic<bool> misused{false};
    if (std::getenv("LIFE_MISUSE") && !misused.exchange(true)) {
        misuseReferences(e->data);
        return OX_EVENT_KEEP; // kept, then released once above: the later attempts must be refused
    }
    return OX_EVENT_DONE;
}

OX_PLUGIN_EXPORT int OnSearch(AsyncEventRecord const* request) {
    trace("search " + std::to_string(request->requestId) + " begin");
    std::unique_lock lock(g_mutex);
    if (std::getenv("LIFE_SEARCH_FOREVER")) {
        g_changed.wait(lock, [] { return false; });
    } else {
        g_changed.wait(lock, [] { return g_closing; });
    }
    trace("search end");
    return 0;
}
