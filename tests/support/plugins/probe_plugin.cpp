// The body of the probe test plugin, compiled once for all its variants: each
// variant (probe_entries.cpp, built per variant) sets `kProbe` and exports the
// entry points it has, which call the ones here. Each entry call appends one
// line "<name> <entry> <details>" to probe-trace.txt in the working directory,
// so tests can read what the core called, in order. Behaviour that tests
// choose at run time comes from PROBE_<NAME>_* variables.
#include "dvrcore/crypto_event.h"
#include "dvrcore/ipc_packet.h"
#include "dvrcore/plugin_interface.h"
#include "probe_plugin.h"
#include "test_plugin_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

ox_EventCallback g_post = nullptr;
std::string g_identity;
std::mutex g_keptMutex;
std::vector<char*> g_kept; ///< payloads whose reference this plugin keeps
std::atomic<bool> g_closing{false};

char const* env(char const* what) {
    std::string name = std::string("PROBE_") + kProbe.name + "_" + what;
    return std::getenv(name.c_str());
}
long envNum(char const* what, long def = 0) {
    char const* v = env(what);
    return v ? std::strtol(v, nullptr, 0) : def;
}

void trace(std::string const& line) { test_plugin::trace(kProbe.name, line); }

/// True when the comma-separated list in variable `what` names `entry`.
bool listed(char const* what, char const* entry) {
    char const* v = env(what);
    if (!v) return false;
    std::string const list = std::string(",") + v + ",";
    return list.find(std::string(",") + entry + ",") != std::string::npos;
}

/// The faults of a broken plugin, chosen per entry point: SLEEP_IN (for
/// SLEEP_MS), THROW_IN, HANG_IN (never returns), EXIT_IN (exit(EXIT_CODE)) and
/// CRASH_IN (a write through a bad pointer) each list entries.
void misbehave(char const* entry) {
    if (listed("SLEEP_IN", entry)) {
        trace(std::string(entry) + " sleeps");
        std::this_thread::sleep_for(std::chrono::milliseconds(envNum("SLEEP_MS")));
        trace(std::string(entry) + " slept");
    }
    if (listed("THROW_IN", entry)) {
        trace(std::string(entry) + " throws");
        throw std::runtime_error(std::string(kProbe.name) + " threw in " + entry);
    }
    if (listed("HANG_IN", entry)) {
        trace(std::string(entry) + " hangs");
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (listed("EXIT_IN", entry)) {
        trace(std::string(entry) + " exits");
        std::exit(static_cast<int>(envNum("EXIT_CODE")));
    }
    if (listed("CRASH_IN", entry)) {
        trace(std::string(entry) + " crashes");
        *reinterpret_cast<int volatile*>(uintptr_t{16}) = 1;
    }
}

unsigned typeWord(unsigned type) {
    unsigned w = 0;
    if (kProbe.consumes & type) w |= OX_CONSUMES;
    if (kProbe.searches & type) w |= OX_SEARCHABLE;
    return w;
}

ox::core::EventParms record(uint32_t type, uint32_t flags, char* data, uint32_t len) {
    return testing_support::Record(kProbe.address | 1u, type, flags, data, len);
}

int postLog(int level, std::string const& text) {
    auto e = record(OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, const_cast<char*>(text.data()),
                    static_cast<uint32_t>(text.size()));
    e.level = level;
    return g_post(&e, nullptr);
}

/// Request type of the packets a probe sends to the parent.
constexpr uint32_t kProbeIpcType = 0x100u;

/// Posts PROBE_<NAME>_POST_COUNT events of type POST_TYPE with payloads of
/// POST_SIZE bytes (or random sizes up to POST_RANDOM_SIZE), or with
/// POST_UNTIL_REFUSED as many as the core accepts; each payload starts with
/// the thread number (2 digits) and its sequence number (4 digits).
/// An ipc payload is a whole packet: a header (reserved word = sequence
/// number) followed by such a payload.
void postBurst(int thread) {
    long const count = envNum("POST_COUNT");
    long const type = envNum("POST_TYPE", OX_TYPE_ALARM);
    long const fixed = envNum("POST_SIZE", 16);
    long const randomMax = envNum("POST_RANDOM_SIZE");
    unsigned seed = 12345u + static_cast<unsigned>(thread);
    long const at = type == OX_TYPE_IPC ? OX_IPC_HEADER_SIZE : 0;
    std::vector<char> buf(static_cast<size_t>(std::max(std::max(fixed, randomMax), 8L) + at), 'x');
    bool const untilRefused = env("POST_UNTIL_REFUSED") != nullptr;
    int refused = 0;
    long posted = 0;
    for (long i = 0; untilRefused ? refused == 0 : i < count; ++i, ++posted) {
        long size = randomMax > 0 ? 6 + static_cast<long>(rand_r(&seed) % static_cast<unsigned>(randomMax - 5)) : fixed;
        size += at;
        char head[8];
        std::snprintf(head, sizeof head, "%02d%04ld", thread, i % 10000);
        std::memcpy(buf.data() + at, head, 6);
        if (at) {
            ox_IpcHeader h{static_cast<uint32_t>(size), ox_ipcRoutingOf(kProbe.address), kProbeIpcType,
                           static_cast<uint32_t>(i)};
            std::memcpy(buf.data(), &h, sizeof h);
        }
        auto e = record(static_cast<uint32_t>(type), OX_LIVE_CLASS, buf.data(), static_cast<uint32_t>(size));
        if (g_post(&e, nullptr) != 0) ++refused;
        std::memset(buf.data(), 'Z', buf.size()); // the core must have copied the payload
    }
    trace("posted " + std::to_string(posted) + " refused " + std::to_string(refused) + " thread " +
          std::to_string(thread));
}

std::thread g_releaser;
std::vector<std::thread> g_posters; ///< joined at Close: none may run when the library goes

/// Posts a decref for every payload kept so far; returns how many.
size_t giveBackKept() {
    std::vector<char*> kept;
    {
        std::lock_guard lock(g_keptMutex);
        kept.swap(g_kept);
    }
    for (char* p : kept) {
        auto e = record(OX_TYPE_DECREF, 0, p, 0);
        g_post(&e, nullptr);
    }
    return kept.size();
}

/// Releases kept references now and then from a thread of the plugin's own.
void releaserLoop() {
    while (!g_closing) {
        giveBackKept();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void releaseKept() {
    size_t const released = giveBackKept();
    if (released != 0) trace("released " + std::to_string(released));
}

// Search behaviours. A requester (SEARCH_REQUEST=n) posts a search with id
// kProbe.address|n when the configuration event reaches it; with SEARCH_CANCEL
// it cancels on the first result, and with SEARCH_REPEAT asks again with the
// same id when a provider with SEARCH_ANNOUNCE posts its "sdone" alarm; with
// RELEASE_RESULTS=ms it keeps each result and gives it back ms
// later from a thread of its own. A provider (PROBE_ONSEARCH) posts
// SEARCH_RESULTS stored results, or posts until its search is cancelled
// (SEARCH_UNTIL_CANCEL); with SEARCH_NESTED it first tries to start a search,
// with SEARCH_HOLD it holds its thread until cancelled. SEARCH_REQUESTS=k has
// the requester ask k times with consecutive ids.

/// Traced and logged, so process tests can wait for it on the console.
void say(std::string const& text) {
    trace(text);
    postLog(25, std::string("probe ") + kProbe.name + " " + text);
}

int postSearch(uint32_t requestId) {
    char query[40];
    std::memset(query, 'q', sizeof query);
    auto e = record(OX_TYPE_VIDEO, 0, query, sizeof query);
    e.source = 0x00000001u; // id byte 0: a search request
    e.requestId = requestId;
    return g_post(&e, nullptr);
}

bool searchCancelled(uint32_t requestId) {
    auto e = record(OX_TYPE_CANCEL, OX_QUERY_FLAG, nullptr, 0);
    e.requestId = requestId;
    return g_post(&e, nullptr) == 1;
}

[[maybe_unused]] void serveSearch(uint32_t requestId) {
    std::string const id = std::to_string(requestId);
    static std::atomic<int> started{0};
    say("search " + id + " start " + std::to_string(++started));
    if (env("SEARCH_NESTED")) trace("nested request result=" + std::to_string(postSearch(requestId)));
    if (env("SEARCH_HOLD")) // busy until cancelled, or until the core stops
        while (!searchCancelled(requestId)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    long const count = envNum("SEARCH_RESULTS");
    bool const untilCancel = env("SEARCH_UNTIL_CANCEL") != nullptr;
    long i = 0;
    for (; untilCancel || i < count; ++i) {
        if (untilCancel && searchCancelled(requestId)) break;
        char payload[16] = {};
        std::snprintf(payload, sizeof payload, "%c%u%04ld", kProbe.name[0], requestId % 10u, i % 10000);
        auto e = record(OX_TYPE_VIDEO, OX_STORED_CLASS, payload, sizeof payload);
        e.requestId = requestId;
        int const r = g_post(&e, nullptr);
        trace("search " + id + " posted " + std::to_string(i) + " result=" + std::to_string(r));
        if (r != 0) break;
        if (untilCancel) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    say("search " + id + " done after " + std::to_string(i));
    if (env("SEARCH_ANNOUNCE")) { // a live alarm "sdone" carrying the request id
        char text[] = "sdone";
        auto e = record(OX_TYPE_ALARM, OX_LIVE_CLASS, text, sizeof text);
        e.level = static_cast<int32_t>(requestId);
        g_post(&e, nullptr);
    }
}

std::mutex g_delayMutex;
std::condition_variable g_delayCv;
std::deque<char*> g_delayed; ///< kept results waiting for their release; under g_delayMutex
std::thread g_delayer;

void delayerLoop(long ms) {
    std::unique_lock lock(g_delayMutex);
    for (;;) {
        g_delayCv.wait(lock, [] { return g_closing || !g_delayed.empty(); });
        if (g_delayed.empty()) return;
        char* p = g_delayed.front();
        g_delayed.pop_front();
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        trace("release " + std::string(p, 6));
        auto e = record(OX_TYPE_DECREF, 0, p, 0);
        g_post(&e, nullptr);
        lock.lock();
    }
}

/// A stored result reached the requester; 1 when it keeps the payload.
int onSearchResult(ox::core::EventParms const* e) {
    static std::atomic<int> seen{0};
    say("got " + std::string(e->data, std::min<uint32_t>(e->dataLen, 6)));
    if (env("SEARCH_CANCEL") && ++seen == 1) {
        auto c = record(OX_TYPE_CANCEL, 0, nullptr, 0);
        c.requestId = e->requestId;
        trace("cancel result=" + std::to_string(g_post(&c, nullptr)));
    }
    if (env("RELEASE_RESULTS") && e->data) {
        {
            std::lock_guard lock(g_delayMutex);
            g_delayed.push_back(e->data);
        }
        g_delayCv.notify_one();
        return 1;
    }
    return -1; // the ordinary keep rules decide
}

} // namespace

using test_plugin::hex;

/// Has the core encrypt CRYPTO_TEXT in a buffer of its own size, too small
/// for the image, then in one of 64 bytes, and decrypt that result; traces
/// each answer.
void cryptoRoundTrip() {
    std::string const text = env("CRYPTO_TEXT");
    for (uint32_t const cap : {static_cast<uint32_t>(text.size()), 64u}) {
        std::vector<char> buf(cap + 8, '#'); // guard bytes after the buffer
        std::memcpy(buf.data(), text.data(), std::min<size_t>(text.size(), cap));
        auto e = record(OX_TYPE_CRYPTO, OX_CRYPTO_ENCRYPT, buf.data(), cap);
        e.level = static_cast<int32_t>(text.size());
        int r = g_post(&e, nullptr);
        trace("crypto encrypt cap=" + std::to_string(cap) + " r=" + std::to_string(r) +
              " len=" + std::to_string(e.level) + " flags=" + std::to_string(e.flags) +
              " image=" + hex(buf.data(), r == 0 ? static_cast<size_t>(e.level) : 0) +
              " guard=" + std::string(buf.end() - 8, buf.end()));
        if (r != 0) continue;
        e.flags = OX_CRYPTO_DECRYPT;
        r = g_post(&e, nullptr);
        trace("crypto decrypt r=" + std::to_string(r) + " len=" + std::to_string(e.level) +
              " flags=" + std::to_string(e.flags) + " text=" + std::string(buf.data(), r == 0 ? e.level : 0));
    }
}

int probe::Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_closing = false; // libraries may stay mapped between loads
    g_identity.assign(in->identity ? in->identity : "", in->identityLen);
    misbehave("Load");
    trace("Load size=" + std::to_string(in->size) + " version=" + std::to_string(in->version) +
          " out=" + std::to_string(out->size) + "/" + std::to_string(out->version) + " id=" + g_identity);
    out->address = kProbe.address;
    out->video = typeWord(OX_TYPE_VIDEO);
    out->audio = typeWord(OX_TYPE_AUDIO);
    out->alarm = typeWord(OX_TYPE_ALARM);
    out->ptz = typeWord(OX_TYPE_PTZ);
    out->serial = typeWord(OX_TYPE_SERIAL);
    out->log = typeWord(OX_TYPE_LOG);
    out->pos = typeWord(OX_TYPE_POS);
    out->analytic = typeWord(OX_TYPE_ANALYTIC);
    out->closePriority = kProbe.closePriority;
    if (kProbe.worker) out->workerThread = 1;
    if (kProbe.reader) out->asyncReader = 1;
    if (kProbe.writeEvents) out->writeEvents = 1;
    return kProbe.loadCode;
}

int probe::Unload(UnloadParams const*, UnloadResult*) {
    if (!env("KEEP_FOREVER")) releaseKept();
    trace("Unload");
    misbehave("Unload");
    return 0;
}

int probe::Open(OpenParams const* in, OpenResult*) {
    trace("Open size=" + std::to_string(in->size));
    misbehave("Open");
    if (env("OWN_SIGTERM")) {
        // A plugin that takes SIGTERM for itself, as some libraries do.
        struct sigaction sa {};
        // The handler's line is made here: a handler may only write.
        static char line[128];
        static size_t length;
        length = static_cast<size_t>(std::snprintf(line, sizeof line, "%s own SIGTERM handler ran\n", kProbe.name));
        sa.sa_handler = [](int) {
            int fd = ::open("probe-trace.txt", O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd >= 0 && ::write(fd, line, length) > 0) ::close(fd);
        };
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigset_t terms;
        sigemptyset(&terms);
        sigaddset(&terms, SIGTERM);
        ::pthread_sigmask(SIG_UNBLOCK, &terms, nullptr);
        trace("own SIGTERM handler installed");
    }
    if (env("POST_HUGE")) {
        // A runaway length over a small buffer, twice.
        char small[16] = "huge";
        auto e = record(static_cast<uint32_t>(envNum("POST_TYPE", OX_TYPE_ALARM)), OX_LIVE_CLASS, small, 0x7FFFFFF0u);
        int const first = g_post(&e, nullptr);
        trace("huge results=" + std::to_string(first) + "," + std::to_string(g_post(&e, nullptr)));
    }
    if (envNum("POST_COUNT") > 0 && !env("POST_THREADS")) postBurst(0);
    for (long t = 0; t < envNum("POST_THREADS"); ++t) g_posters.emplace_back(postBurst, static_cast<int>(t));
    if (env("KEEP_RANDOM")) g_releaser = std::thread(releaserLoop);
    if (env("CRYPTO_TEXT")) cryptoRoundTrip();
    if (char const* delta = env("DELTA")) {
        // A configuration document from this plugin, as a peer would send it.
        std::string text(delta);
        auto e = record(OX_TYPE_CONFIG, OX_LIVE_CLASS | OX_XML_PAYLOAD, text.data(), static_cast<uint32_t>(text.size()));
        trace("delta posted r=" + std::to_string(g_post(&e, nullptr)));
    }
    if (env("RELEASE_RESULTS")) g_delayer = std::thread(delayerLoop, envNum("RELEASE_RESULTS"));
    if (env("IPC_MALFORMED")) {
        // Payloads that are not exactly one packet: too short, and a header announcing more.
        ox_IpcHeader h{40, ox_ipcRoutingOf(kProbe.address), kProbeIpcType, 0};
        char bytes[32] = {};
        std::memcpy(bytes, &h, sizeof h);
        auto shortOne = record(OX_TYPE_IPC, 0, bytes, 10);
        auto liar = record(OX_TYPE_IPC, 0, bytes, sizeof bytes);
        trace("malformed-ipc results=" + std::to_string(g_post(&shortOne, nullptr)) + "," +
              std::to_string(g_post(&liar, nullptr)));
    }
    postLog(25, std::string("probe ") + kProbe.name + " open");
    return 0;
}

int probe::Close(CloseParams const*, CloseResult*) {
    g_closing = true;
    if (g_releaser.joinable()) g_releaser.join();
    for (auto& t : g_posters) t.join();
    g_posters.clear();
    {
        std::lock_guard lock(g_delayMutex); // the delayer checks g_closing under it
    }
    g_delayCv.notify_all();
    if (g_delayer.joinable()) g_delayer.join();
    trace("Close");
    misbehave("Close");
    if (env("IPC_ON_CLOSE")) {
        ox_IpcHeader h{OX_IPC_HEADER_SIZE, ox_ipcRoutingOf(kProbe.address), kProbeIpcType, 0};
        auto e = record(OX_TYPE_IPC, 0, reinterpret_cast<char*>(&h), sizeof h);
        trace("close-ipc result=" + std::to_string(g_post(&e, nullptr)));
    }
    if (env("POST_ON_CLOSE")) {
        char text[] = "late";
        auto e = record(OX_TYPE_ALARM, OX_LIVE_CLASS, text, 4);
        trace("close-post result=" + std::to_string(g_post(&e, nullptr)));
    }
    return 0;
}

int probe::OnEvent(ox::core::EventParms const* e) {
    std::string payload = e->data ? std::string(e->data, std::min<uint32_t>(e->dataLen, 6)) : "";
    trace("OnEvent type=" + std::to_string(e->type) + " len=" + std::to_string(e->dataLen) +
          " source=" + std::to_string(e->source) + " head=" + payload);
    if (env("DUMP_CONFIG") && e->type == OX_TYPE_CONFIG && e->data) {
        // Each configuration document the plugin receives, as config-<n>.xml.
        static std::atomic<int> n{0};
        std::string const name = "config-" + std::to_string(++n) + ".xml";
        if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
            std::fwrite(e->data, 1, e->dataLen, f);
            std::fclose(f);
        }
        trace("dumped " + name);
    }
    if (envNum("SLOW_MS") > 0 && (e->type & ~OX_TYPE_MODIFIER) != OX_TYPE_LOG)
        std::this_thread::sleep_for(std::chrono::milliseconds(envNum("SLOW_MS")));
    uint32_t const t = e->type & ~OX_TYPE_MODIFIER;
    if (t == OX_TYPE_ALARM) misbehave("OnEvent");
    if (t == OX_TYPE_LOG && e->data && env("HANG_ON_LOG") &&
        std::string(e->data, e->dataLen).find(env("HANG_ON_LOG")) != std::string::npos) {
        trace("OnEvent hangs on a log record");
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    // A log plugin that keeps every record it gets, and logs about it from here.
    if (kProbe.keepLogs && t == OX_TYPE_LOG && e->data) {
        postLog(25, "kept " + payload);
        std::lock_guard lock(g_keptMutex);
        g_kept.push_back(e->data);
        return OX_EVENT_KEEP;
    }
    if (t == OX_TYPE_CONFIG && env("SEARCH_REQUEST")) {
        static std::atomic<bool> asked{false};
        uint32_t const id = kProbe.address | static_cast<uint32_t>(envNum("SEARCH_REQUEST"));
        if (!asked.exchange(true)) {
            long const n = envNum("SEARCH_REQUESTS", 1); // ids id, id + 1, ...
            for (long k = 0; k < n; ++k) say("search request result=" + std::to_string(postSearch(id + static_cast<uint32_t>(k))));
            if (n > 1) say("search requests done");
        }
    }
    if (t == OX_TYPE_ALARM && env("SEARCH_REPEAT") && e->dataLen >= 5 && std::memcmp(e->data, "sdone", 5) == 0) {
        static std::atomic<bool> repeated{false}; // the same id once more, after a search ended
        if (!repeated.exchange(true)) trace("repeat result=" + std::to_string(postSearch(static_cast<uint32_t>(e->level))));
    }
    if (e->flags & OX_STORED_CLASS) {
        int const kept = onSearchResult(e);
        if (kept >= 0) return kept;
    }
    bool const media = e->data && t != OX_TYPE_LOG && t != OX_TYPE_CONFIG &&
                       (!env("KEEP_TYPE") || static_cast<long>(t) == envNum("KEEP_TYPE"));
    if (media && env("ECHO")) postLog(25, "echo " + payload);
    static std::atomic<unsigned> coin{0};
    bool const keep = env("KEEP") || env("KEEP_FOREVER") || (env("KEEP_RANDOM") && (++coin % 2) == 0);
    if (media && keep) {
        std::lock_guard lock(g_keptMutex);
        g_kept.push_back(e->data);
        return OX_EVENT_KEEP;
    }
    return OX_EVENT_DONE;
}

/// Traces each parent result; with IPC_ACK sends it straight back as a request.
int probe::OnIpcResult(char const* data, size_t length) {
    ox_IpcHeader h{};
    if (length >= sizeof h) std::memcpy(&h, data, sizeof h);
    std::string const head(data + std::min(length, sizeof h), std::min<size_t>(length - std::min(length, sizeof h), 6));
    trace("OnIpcResult len=" + std::to_string(length) + " type=" + std::to_string(h.type) + " head=" + head);
    misbehave("OnIpcResult");
    postLog(25, std::string("probe ") + kProbe.name + " result " + head);
    if (env("IPC_ACK")) {
        std::vector<char> copy(data, data + length);
        auto e = record(OX_TYPE_IPC, 0, copy.data(), static_cast<uint32_t>(length));
        if (g_post(&e, nullptr) != 0) trace("ack refused");
    }
    return 0;
}

int probe::IOCTL(IoctlParams const* in, IoctlResult* out) {
    trace("IOCTL code=" + std::to_string(in->code) + " len=" + std::to_string(in->dataLen));
    if (in->code == OX_IOCTL_WORKER_THREAD) {
        while (!g_closing) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        trace("worker done");
    }
    out->keep = 0;
    return 0;
}

int probe::Write(WriteParams const* in, WriteResult* out) {
    uint32_t len;
    std::memcpy(&len, in->event, 4);
    trace("Write size=" + std::to_string(in->size) + " len=" + std::to_string(len));
    out->keep = 0;
    return 0;
}

int probe::Read(ReadParams const* in, void*) {
    if (in->dataLen == 0 && in->requestId == 0) {
        trace("Read reader");
        while (!g_closing) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        trace("reader done");
    } else {
        trace("Read search len=" + std::to_string(in->dataLen));
    }
    return 0;
}

int probe::OnSearch(AsyncEventRecord const* request) {
    trace("OnSearch id=" + std::to_string(request->requestId) + " len=" + std::to_string(request->dataLen) +
          " thread=" + std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id())));
    serveSearch(request->requestId);
    return 0;
}
