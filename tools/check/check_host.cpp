#include "tools/check/check_host.h"

#include "core/events/post_limit.h"
#include "core/events/record.h"
#include "dvrcore/documents.h"
#include "crypto/crypto_event.h"
#include "log/log_level.h"
#include "plugin/dlloader.h"
#include "plugin/plugin.h"
#include "tools/check/exports.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

using ox::core::EventParms;
using Clock = std::chrono::steady_clock;

namespace check {

namespace {

constexpr char kIdentity[] = "dvrcore-check";
/// Log posts printed; the rest are only counted.
constexpr uint64_t kLogLinesShown = 100;
/// Events offered per consumed type.
constexpr int kEventsPerType = 3;

char const* const kEntryNames[] = {"Load", "Unload", "Open", "Close", "OnIpcResult",
                                   "IOCTL", "OnEvent", "OnSearch", "Read", "Write"};

std::string seconds(std::chrono::milliseconds d) { return fmt::format("{:g} s", static_cast<double>(d.count()) / 1e3); }

uint32_t ms(std::chrono::milliseconds d) { return static_cast<uint32_t>(d.count()); }

/// The declaration's type words in kWordNames order.
std::array<uint32_t, 8> typeWords(PluginInfo const& i) {
    return {i.video, i.audio, i.alarm, i.ptz, i.serial, i.log, i.pos, i.analytic};
}

/// Threads of this process by id, from /proc/self/task.
std::set<long> tasks() {
    std::set<long> ids;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent const* e = ::readdir(d))
            if (e->d_name[0] != '.') ids.insert(std::strtol(e->d_name, nullptr, 10));
        ::closedir(d);
    }
    return ids;
}

/// Threads in `now` that are not in `before`.
size_t added(std::set<long> const& before, std::set<long> const& now) {
    size_t n = 0;
    for (long id : now) n += before.count(id) == 0;
    return n;
}

/// The threads that are not the plugin's. A runtime may start a helper with
/// the process's first thread (the thread sanitizer does), so one thread is
/// started and ended first, and counted only once /proc has let it go.
std::set<long> threadsBeforeLoad() {
    std::atomic<long> tid{0};
    std::thread([&] { tid = static_cast<long>(::gettid()); }).join();
    auto ids = tasks();
    for (auto const until = Clock::now() + std::chrono::seconds(1); ids.count(tid) && Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // polling /proc, not synchronising with it
        ids = tasks();
    }
    ids.erase(tid);
    return ids;
}

/// The address word of plugin id `id`, or of the id below it when `id` is the plugin's own.
uint32_t addressOtherThan(uint32_t id, unsigned avoid) { return (id == avoid ? id - 1 : id) << 16; }

/// One search the checker runs on the plugin, shared with its thread.
/// Everything but `mutex`, `ended` and `done` is written before its thread starts.
struct Search {
    uint32_t requestId = 0;
    bool cancelPartWay = false; ///< cancelled once its first result has come
    EventParms request{};       ///< the core's copy of the request; data points at `payload`
    std::string payload;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false; ///< under mutex
};

class Host {
public:
    Host(Limits limits, std::vector<ScriptedEvent> const& script, ReportWriter& out)
        : limits_(limits), script_(script), out_(out) {}
    bool run(std::filesystem::path const& path);

    static int post(EventParms* rec, void* context);
    void stopRequest() noexcept {
        if (!stopAsked_.exchange(true)) out_.stopRequested();
    }

private:
    /// A payload block of the checker's, standing for the core's reference block.
    struct Block {
        uint32_t type = 0;
        uint32_t len = 0;
        bool queueRef = true;           ///< the dispatcher's own, dropped after delivery
        bool pluginRef = false;         ///< the plugin's, from delivery until it is done
        bool delivering = false;        ///< inside OnEvent right now
        bool releasedInDelivery = false; ///< the plugin posted its decref from inside OnEvent
        bool late = false;              ///< still kept when the reference timeout ran out
    };

    int onPost(EventParms& e);
    int onDecref(char const* payload);
    int onResult(EventParms const& e);
    void checkHeads(EventParms const& e);
    void fault(std::string const& text);

    void phase(std::chrono::milliseconds limit, std::string const& what) { out_.phase(ms(limit), what); }
    void declare();
    void deliver(EventParms e, std::string const& payload);
    void offerEvents();
    void offerScript();
    void reportSlowDeliveries();
    void runSearches();
    std::shared_ptr<Search> startSearch(uint32_t requestId, uint32_t type, bool cancelPartWay);
    bool waitSearch(Search& s, std::chrono::milliseconds limit);
    void waitForKeptReferences();
    void reportKeptAfterUnload(bool freeThem);
    void freeLocked(std::unordered_map<char const*, Block>::iterator it);
    std::string configDocument() const;

    Limits const limits_;
    std::vector<ScriptedEvent> const& script_;
    ReportWriter& out_;
    std::shared_ptr<Plugin> plugin_; ///< set on the main thread before anything is delivered or searched
    std::vector<std::shared_ptr<Search>> pendingSearches_; ///< main thread: searches still running before Close
    uint32_t producer_ = 0;          ///< source of the events offered: a camera that is not the plugin
    uint32_t requester_ = 0;         ///< address key of the searches' requester
    Clock::time_point lastDelivery_{}; ///< main thread
    struct Slow {
        uint64_t count = 0;
        std::chrono::microseconds longest{0};
    };
    std::map<std::string, Slow> slow_; ///< main thread: deliveries over kSlowDelivery, per type
    std::atomic<int> ownId_{-1};       ///< the plugin id Load declared; -1 before

    std::mutex mutex_;              ///< guards everything below it; never held while plugin code runs
    std::condition_variable given_; ///< a kept reference came back
    std::unordered_map<char const*, Block> blocks_;
    std::set<char const*> handed_; ///< every payload pointer ever delivered
    std::set<std::string> faults_;
    std::unordered_map<std::thread::id, std::shared_ptr<Search>> searchThreads_;
    std::set<uint32_t> cancelled_;
    std::map<uint32_t, uint64_t> results_; ///< results accepted, per request id
    std::map<std::string, uint64_t> lateGivenBack_; ///< references given back after the timeout, per type
    uint64_t kept_ = 0, givenBack_ = 0, delivered_ = 0, logLines_ = 0, posts_ = 0;

    std::atomic<bool> stopping_{false}; ///< set before Close, as the core's stop flag
    std::atomic<bool> unloaded_{false};
    std::atomic<bool> stopAsked_{false};
};

/// FNV-1a of a payload: a plugin that writes into the core's copy changes it.
uint64_t checksum(char const* p, uint32_t n) {
    uint64_t h = 1469598103934665603ull;
    for (uint32_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    return h;
}

/// Copies a posted payload as the core does: every byte of `dataLen` is read,
/// so a length beyond the plugin's buffer trips the sanitizers here.
void copyPayload(EventParms const& e) {
    thread_local std::vector<char> copy;
    if (e.data) copy.assign(e.data, e.data + e.dataLen);
}

Host* g_host = nullptr; ///< set before the plugin is loaded, for the C callback

int Host::post(EventParms* rec, void* /*context*/) {
    Host* h = g_host;
    if (!rec) {
        if (h) h->fault("posted a null record");
        return 1;
    }
    return h ? h->onPost(*rec) : 1;
}

void Host::fault(std::string const& text) {
    {
        std::lock_guard lock(mutex_);
        if (!faults_.insert(text).second) return;
    }
    out_.fault(text);
}

void Host::checkHeads(EventParms const& e) {
    char const* const name = ox::core::typeName(ox::core::typeOf(e));
    if (e.size != ox::core::kRecordSize || e.version != OX_EVENT_RECORD_VERSION)
        fault(fmt::format("posted a record of type {} with a bad head: size {}, version {} (want {}, {})", name, e.size,
                          e.version, ox::core::kRecordSize, OX_EVENT_RECORD_VERSION));
    if (e.parmsSize != ox::core::kParmsSize || e.parmsVersion != OX_EVENT_PARMS_VERSION)
        fault(fmt::format("posted a record of type {} with a bad parameter head: parmsSize {}, parmsVersion {} "
                          "(want {}, {})",
                          name, e.parmsSize, e.parmsVersion, ox::core::kParmsSize, OX_EVENT_PARMS_VERSION));
    if (!e.data && e.dataLen != 0)
        fault(fmt::format("posted a record of type {} with dataLen {} and a null data", name, e.dataLen));
}

int Host::onPost(EventParms& e) {
    uint32_t const type = ox::core::typeOf(e);
    char const* const name = ox::core::typeName(type);
    {
        std::lock_guard lock(mutex_);
        ++posts_;
    }
    if (unloaded_.load()) {
        fault(fmt::format("posted a record of type {} after Unload returned", name));
        return 1;
    }
    checkHeads(e);
    if (!e.data) e.dataLen = 0; // as the core does, before it looks at anything else
    if (ox::core::overPostLimit(e)) {
        fault(fmt::format("posted a record of type {} carrying {} bytes, more than the {} MiB a post may carry", name,
                          e.dataLen, ox::core::kMaxPostPayload >> 20));
        return 1;
    }
    switch (type) {
    case OX_TYPE_DECREF:
        if (int const own = ownId_.load(); own >= 0 && ox::core::pluginIdOf(e.source) != static_cast<unsigned>(own)) {
            fault(fmt::format("posted a decref whose source 0x{:08x} carries plugin id {:02x}, not its own {:02x}: "
                              "the core looks for that plugin's reference, refuses the decref and the payload "
                              "stays held",
                              e.source, ox::core::pluginIdOf(e.source), own));
            return 1;
        }
        return onDecref(e.data);
    case OX_TYPE_CANCEL: {
        std::lock_guard lock(mutex_);
        if (e.flags & ox::core::kQueryFlag) return stopping_.load() || cancelled_.count(e.requestId) ? 1 : 0;
        cancelled_.insert(e.requestId);
        return 0;
    }
    case OX_TYPE_CRYPTO: return ox::crypto::handleCryptoEvent(e, kIdentity);
    case OX_TYPE_IPC: return 1; // no parent daemon here
    case OX_TYPE_LOG:
        if (e.flags & ox::core::kQueryFlag) return kDefaultLogThreshold;
        if (e.dataLen != 0) {
            copyPayload(e);
            bool show = false;
            {
                std::lock_guard lock(mutex_);
                show = ++logLines_ <= kLogLinesShown;
            }
            if (show) out_.log(e.level, std::string_view(e.data, e.dataLen));
        }
        return 0;
    default: break;
    }
    if (stopping_.load()) return 1;
    // A search request: taken, like the core with no other provider.
    if (ox::core::isSearchRequest(e)) return 0;
    if (e.requestId != 0) return onResult(e);
    copyPayload(e);
    return 0;
}

int Host::onResult(EventParms const& e) {
    std::unique_lock lock(mutex_);
    auto it = searchThreads_.find(std::this_thread::get_id());
    if (it == searchThreads_.end()) {
        lock.unlock();
        fault(fmt::format("posted a result for search {:08x} from a thread that is not its search thread: the core "
                          "refuses it",
                          e.requestId));
        return 1;
    }
    Search& s = *it->second;
    if (e.requestId != s.requestId) {
        lock.unlock();
        fault(fmt::format("posted a result with request id {:08x} from the search thread of request {:08x}",
                          e.requestId, s.requestId));
        return 1;
    }
    if (cancelled_.count(e.requestId) || stopping_.load()) return 1;
    ++results_[e.requestId];
    if (s.cancelPartWay) cancelled_.insert(e.requestId); // the requester has seen enough
    lock.unlock();
    copyPayload(e);
    return 0;
}

int Host::onDecref(char const* payload) {
    std::unique_lock lock(mutex_);
    auto it = payload ? blocks_.find(payload) : blocks_.end();
    if (it == blocks_.end() || !it->second.pluginRef) {
        std::string why = "it was never handed to the plugin";
        if (!payload) {
            why = "a null pointer";
        } else if (handed_.count(payload)) {
            why = "the plugin gave it back already or returned 0 for it";
        } else {
            auto const at = reinterpret_cast<uintptr_t>(payload);
            for (auto const& [p, b] : blocks_)
                if (at > reinterpret_cast<uintptr_t>(p) && at < reinterpret_cast<uintptr_t>(p) + b.len)
                    why = "it points into a payload";
        }
        lock.unlock();
        fault("posted a decref for a payload it holds no reference to: " + why);
        return payload ? 1 : 0; // the core's answers: a null decref does nothing and is accepted
    }
    Block& b = it->second;
    b.pluginRef = false;
    oxmem::stats.refs[plugin_->pluginId()].fetch_sub(1);
    ++givenBack_;
    if (b.late) ++lateGivenBack_[ox::core::typeName(b.type)];
    if (b.delivering) b.releasedInDelivery = true;
    if (!b.queueRef) freeLocked(it);
    given_.notify_all();
    return 0;
}

void Host::freeLocked(std::unordered_map<char const*, Block>::iterator it) {
    oxmem::stats.blocks.fetch_sub(1);
    oxmem::stats.bytes.fetch_sub(it->second.len + 8);
    std::free(const_cast<char*>(it->first)); // a plugin that reads it later trips the sanitizers
    blocks_.erase(it);
}

std::string Host::configDocument() const {
    auto entry = [](std::string const& id, std::string const& file, int64_t loadMs, int64_t openMs, int32_t code) {
        return fmt::format("<Plugin ID=\"{}\" Filename=\"{}\" Opened=\"1\" LoadTimeMs=\"{}\" OpenTimeMs=\"{}\" "
                           "OpenCode=\"{}\" LogLevel=\"25\" LogLevelDefault=\"-1\"/>",
                           id, file, loadMs, openMs, code);
    };
    int64_t const loadMs = plugin_->loadTimeNs() / 1'000'000, openMs = plugin_->openTimeNs() / 1'000'000;
    std::string const core = ox::core::kCoreIdText;
    return fmt::format("<?xml version=\"1.0\"?><oREC><Memory ID=\"{}\" Throttling=\"1\"/>"
                       "<Modules TotalLoadTimeMs=\"{}\" TotalOpenTimeMs=\"{}\">"
                       "<Module ID=\"{}\" Name=\"Core\" Version=\"{}\">{}{}</Module></Modules>"
                       "<Product Family=\"dvrcore-check\" Version=\"{}\"/></oREC>",
                       core, loadMs, openMs, core, DVR_CHECK_VERSION, entry(core, "dvrcore-check", 0, 0, 0),
                       entry(ox::core::idText(plugin_->address()), plugin_->fileName(), loadMs, openMs,
                             plugin_->openCode()),
                       DVR_CHECK_VERSION);
}

void Host::deliver(EventParms e, std::string const& payload) {
    if (!plugin_->consumerMatch(e)) return;
    auto* const p = static_cast<char*>(std::malloc(std::max<size_t>(payload.size(), 1)));
    if (!p) return;
    std::memcpy(p, payload.data(), payload.size());
    e.data = p;
    e.dataLen = static_cast<uint32_t>(payload.size());
    unsigned const id = plugin_->pluginId();
    {
        std::lock_guard lock(mutex_);
        Block& b = blocks_[p];
        b.type = ox::core::typeOf(e);
        b.len = e.dataLen;
        b.pluginRef = b.delivering = true;
        handed_.insert(p);
        ++delivered_;
    }
    oxmem::stats.blocks.fetch_add(1);
    oxmem::stats.bytes.fetch_add(e.dataLen + 8);
    oxmem::stats.refs[0].fetch_add(1);
    oxmem::stats.refs[id].fetch_add(1);

    char const* const typeName = ox::core::typeName(ox::core::typeOf(e));
    phase(limits_.call, fmt::format("OnEvent({})", typeName));
    uint64_t const sum = checksum(p, e.dataLen);
    auto const start = Clock::now();
    int const r = plugin_->OnEvent(e);
    lastDelivery_ = Clock::now();
    // The block lives on until the dispatcher's reference goes below, whatever the plugin did.
    if (checksum(p, e.dataLen) != sum)
        fault(fmt::format("OnEvent({}) wrote into the payload it was handed: the payload is the core's, read by "
                          "every plugin offered the event after it",
                          typeName));
    if (auto const took = lastDelivery_ - start; took > kSlowDelivery) {
        Slow& w = slow_[typeName];
        ++w.count;
        w.longest = std::max(w.longest, std::chrono::duration_cast<std::chrono::microseconds>(took));
    }

    bool twice = false;
    {
        std::lock_guard lock(mutex_);
        auto it = blocks_.find(p);
        Block& b = it->second;
        b.delivering = false;
        if (r == OX_EVENT_DONE) {
            if (b.pluginRef) {
                b.pluginRef = false;
                oxmem::stats.refs[id].fetch_sub(1);
            } else {
                twice = b.releasedInDelivery;
            }
        } else if (b.pluginRef) {
            ++kept_;
        }
        b.queueRef = false;
        oxmem::stats.refs[0].fetch_sub(1);
        if (!b.pluginRef) freeLocked(it);
    }
    if (twice)
        fault(fmt::format("posted a decref for a payload of type {} from inside OnEvent and then returned 0 for "
                          "it: the reference was given back twice",
                          ox::core::typeName(ox::core::typeOf(e))));
}

void Host::offerScript() {
    uint64_t notOffered = 0;
    for (auto const& s : script_) {
        if (!plugin_->consumerMatch(s.record)) {
            ++notOffered;
            continue;
        }
        if (s.hasPayload) {
            deliver(s.record, s.payload);
        } else {
            // No payload, no block: delivered as the dispatcher does, nothing to keep.
            phase(limits_.call, fmt::format("OnEvent({})", ox::core::typeName(ox::core::typeOf(s.record))));
            plugin_->OnEvent(s.record);
            lastDelivery_ = Clock::now();
            std::lock_guard lock(mutex_);
            ++delivered_;
        }
    }
    out_.count("scripted events", script_.size());
    if (notOffered) out_.count("scripted events the core would not offer it", notOffered);
}

void Host::reportSlowDeliveries() {
    for (auto const& [type, w] : slow_)
        out_.warning(fmt::format("OnEvent({}) took up to {:.1f} ms ({} deliver{} over {} ms): the core logs such "
                                 "deliveries, and every plugin waits while one runs",
                                 type, static_cast<double>(w.longest.count()) / 1e3, w.count,
                                 w.count == 1 ? "y" : "ies", kSlowDelivery.count()));
}

void Host::offerEvents() {
    using ox::core::makeEvent;
    deliver(makeEvent(ox::core::kCoreAddress, OX_TYPE_CONFIG, ox::core::kLiveClass | ox::core::kXmlPayload),
            configDocument());
    if (!script_.empty()) return offerScript();
    auto const words = typeWords(plugin_->info());
    auto const now = static_cast<uint32_t>(std::time(nullptr));
    uint32_t const live = ox::core::kLiveClass;
    for (size_t w = 0; w < 8; ++w) {
        if (!(words[w] & OX_CONSUMES)) continue;
        for (int k = 0; k < kEventsPerType; ++k) {
            uint32_t const type = kWordTypes[w];
            EventParms e{};
            std::string payload;
            switch (type) {
            case OX_TYPE_VIDEO:
            case OX_TYPE_AUDIO:
                e = makeEvent(producer_ | 1u, type, live);
                e.seconds = now + static_cast<uint32_t>(k);
                e.milliseconds = static_cast<uint16_t>(40 * k);
                if (type == OX_TYPE_VIDEO && k == 0) e.frameKind = OX_KEY_FRAME;
                payload.assign(type == OX_TYPE_VIDEO ? 4096 : 320, static_cast<char>('a' + k));
                payload.replace(0, 4, std::string("\0\0\0\1", 4));
                break;
            case OX_TYPE_ALARM: {
                // The shared alarm document, of cameras 1 to 3 in turn.
                e = makeEvent(producer_ | static_cast<uint32_t>(k + 1), type, live | ox::core::kXmlPayload);
                char xml[256];
                int const n = ox_formatAlarm(xml, sizeof xml, producer_, static_cast<unsigned>(k + 1),
                                             OX_ALARM_MOTION, k % 2 == 0, uint64_t{now} * 1000 + 40u * k);
                payload.assign(xml, static_cast<size_t>(n));
                break;
            }
            case OX_TYPE_PTZ:
                e = makeEvent(producer_ | 1u, type, live | ox::core::kXmlPayload);
                payload = fmt::format(OX_DOC_DECLARATION "<" OX_DOC_ROOT "><" OX_PTZ_ELEMENT
                                      " ID=\"{}\" Target=\"{}\" Camera=\"1\" Action=\"{}\"/></" OX_DOC_ROOT ">",
                                      ox_documentIdOf(producer_), ox_documentIdOf(plugin_->address()),
                                      k == 0 ? "Move\" Pan=\"-50\" Tilt=\"0\" Zoom=\"0" : k == 1 ? "GotoPreset\" Preset=\"2" : "Stop");
                break;
            case OX_TYPE_ANALYTIC:
                e = makeEvent(producer_ | 1u, type, live | ox::core::kXmlPayload);
                payload = fmt::format(OX_DOC_DECLARATION "<" OX_DOC_ROOT "><" OX_ANALYTIC_ELEMENT
                                      " ID=\"{}\" Camera=\"1\" Kind=\"Person\" Score=\"{}\" X=\"100\" Y=\"200\" "
                                      "W=\"50\" H=\"150\" Time=\"{}\" mseTime=\"{}\"/></" OX_DOC_ROOT ">",
                                      ox_documentIdOf(producer_), 60 + 10 * k, now, uint64_t{now} * 1000);
                break;
            case OX_TYPE_LOG:
                e = makeEvent(producer_ | 1u, type, live | ox::core::kTextPayload);
                e.level = kLogInfo;
                payload = fmt::format("dvrcore-check log record {}", k + 1);
                break;
            default: // serial, pos: text
                e = makeEvent(producer_ | 1u, type, live | ox::core::kTextPayload);
                payload = fmt::format("{} {} line {}\r\n", ox::core::typeName(type), now, k + 1);
                break;
            }
            deliver(e, payload);
        }
    }
}

std::shared_ptr<Search> Host::startSearch(uint32_t requestId, uint32_t type, bool cancelPartWay) {
    auto s = std::make_shared<Search>();
    s->requestId = requestId;
    s->cancelPartWay = cancelPartWay;
    // The shared search text: camera 1, the last minute.
    uint64_t const nowMs = static_cast<uint64_t>(std::time(nullptr)) * 1000;
    s->payload = fmt::format(OX_SEARCH_QUERY_FORMAT, 1u, nowMs - 60'000, nowMs);
    // As the core copies a request: the record by value, the query into a copy of its own.
    s->request = ox::core::makeEvent(0x00000001u, type, 0, s->payload.data(), static_cast<uint32_t>(s->payload.size()));
    s->request.requestId = requestId;
    s->thread = std::thread([this, s] {
        {
            std::lock_guard lock(mutex_);
            searchThreads_[std::this_thread::get_id()] = s;
        }
        plugin_->OnSearch(s->request, plugin_->admitSearch());
        {
            std::lock_guard lock(mutex_);
            searchThreads_.erase(std::this_thread::get_id());
        }
        std::lock_guard lock(s->mutex);
        s->done = true;
        s->ended.notify_all();
    });
    return s;
}

bool Host::waitSearch(Search& s, std::chrono::milliseconds limit) {
    std::unique_lock lock(s.mutex);
    if (!s.ended.wait_for(lock, limit, [&] { return s.done; })) return false;
    lock.unlock();
    s.thread.join();
    return true;
}

void Host::runSearches() {
    if (!plugin_->isSearchProvider()) return;
    auto const words = typeWords(plugin_->info());
    uint32_t type = OX_TYPE_VIDEO; // OnSearch without a searchable word
    for (size_t i = 8; i-- > 0;) // the core reads the search bit in all words but ptz and serial
        if ((words[i] & OX_SEARCHABLE) && kWordTypes[i] != OX_TYPE_PTZ && kWordTypes[i] != OX_TYPE_SERIAL)
            type = kWordTypes[i];

    std::vector<std::shared_ptr<Search>> running;
    for (uint32_t n = 1; n <= 2; ++n) {
        bool const cancel = n == 2;
        auto s = startSearch(requester_ | n, type, cancel);
        phase(limits_.call, fmt::format("OnSearch(search {:08x})", s->requestId));
        if (waitSearch(*s, limits_.call)) continue;
        bool wasCancelled = false;
        {
            std::lock_guard lock(mutex_);
            wasCancelled = cancelled_.count(s->requestId) != 0;
        }
        if (wasCancelled) {
            phase(limits_.call, fmt::format("OnSearch(search {:08x}) after its cancellation", s->requestId));
            if (waitSearch(*s, limits_.call)) continue;
            fault(fmt::format("OnSearch did not return within {} of its search being cancelled",
                              seconds(limits_.call)));
        }
        running.push_back(std::move(s)); // may be one that ends at Close
    }
    pendingSearches_ = std::move(running);
    out_.count("searches", 2);
    std::lock_guard lock(mutex_);
    for (auto const& [id, count] : results_) out_.count(fmt::format("results of search {:08x}", id), count);
}

void Host::waitForKeptReferences() {
    unsigned const id = plugin_->pluginId();
    phase(limits_.refs, "waiting for kept references");
    std::unique_lock lock(mutex_);
    // Every reference still out then has been kept for longer than the timeout.
    given_.wait_until(lock, lastDelivery_ + limits_.refs, [&] { return oxmem::stats.refs[id].load() == 0; });
    for (auto& [p, b] : blocks_) b.late = b.pluginRef;
}

void Host::reportKeptAfterUnload(bool freeThem) {
    std::map<std::string, uint64_t> byType, late;
    {
        std::lock_guard lock(mutex_);
        late = lateGivenBack_;
        for (auto it = blocks_.begin(); it != blocks_.end();) {
            auto const next = std::next(it);
            if (it->second.pluginRef) ++byType[ox::core::typeName(it->second.type)];
            if (freeThem) freeLocked(it);
            it = next;
        }
    }
    for (auto const& [type, n] : late)
        fault(fmt::format("kept {} {} payload reference(s) for longer than {} and gave them back only at Close or "
                          "Unload",
                          n, type, seconds(limits_.refs)));
    for (auto const& [type, n] : byType)
        fault(fmt::format("kept {} {} payload reference(s) and never gave them back (no decref by the end of "
                          "Unload)",
                          n, type));
}

void Host::declare() {
    auto const& i = plugin_->info();
    Declaration d;
    d.address = i.address;
    auto const words = typeWords(i);
    std::copy(words.begin(), words.end(), d.words);
    d.closePriority = i.closePriority;
    d.workerThread = i.workerThread != 0;
    d.asyncReader = i.asyncReader != 0;
    d.writeEvents = i.writeEvents != 0;
    d.infoSize = i.size;
    d.infoVersion = i.version;
    out_.declaration(d);
}

bool Host::run(std::filesystem::path const& path) {
    auto const threadsBefore = threadsBeforeLoad();
    phase(limits_.call, "dlopen");
    // The core looks the entries up one by one; the checker lists them all.
    void* own = dlloader::load(path.c_str());
    for (char const* name : kEntryNames) out_.entry(name, dlloader::sym(own, name) != nullptr);

    phase(limits_.call, "Load");
    plugin_ = Plugin::CreateAndLoad(path, &Host::post, kIdentity);
    if (own) dlloader::close(own); // the plugin's handle alone keeps it now
    out_.load({plugin_->loadCode(), plugin_->loadTimeNs(), plugin_->errorText()});
    std::string const swapped = "Load wrote into the LoadParams it was handed, which is the core's: are its "
                                "parameters swapped? The entry is int Load(LoadParams const* in, PluginInfo* out)";
    if (!plugin_->loaded()) {
        if (plugin_->wroteLoadParams()) fault(swapped);
        if (plugin_->loadCode() == LoadCode::CannotOpen)
            fault("the library cannot be opened: " + plugin_->errorText());
        else if (plugin_->loadCode() == LoadCode::MissingEntries)
            fault("the core does not load it: missing Load()/Unload()");
        else
            fault(fmt::format("Load returned {}: the core does not load it", plugin_->loadCode()));
        return true;
    }
    declare();
    // The core reads its own layout whatever the head says: a plugin that
    // writes another head was built against a record the core does not know.
    if (auto const& i = plugin_->info(); i.size != OX_PLUGIN_INFO_SIZE || i.version != OX_PLUGIN_INFO_VERSION)
        fault(fmt::format("Load rewrote the PluginInfo head to size {}, version {}: the core wrote {}, {} and reads "
                          "only that layout",
                          i.size, i.version, OX_PLUGIN_INFO_SIZE, OX_PLUGIN_INFO_VERSION));
    unsigned const id = plugin_->pluginId();
    ownId_.store(static_cast<int>(id));
    if (plugin_->address() != ox::core::kCoreAddress && id == 0)
        fault(fmt::format("declared address 0x{:08x}, whose plugin id is 00, the core's own: the core names it "
                          "after itself and counts its references as its own; put an id of its own in bits 16..23 "
                          "(or OX_CORE_ADDRESS for a plugin that needs no address)",
                          plugin_->address()));
    if (plugin_->wroteLoadParams()) {
        // Its callback is whatever it read from the PluginInfo: nothing it posts can reach us.
        fault(swapped);
        phase(2 * limits_.call + std::chrono::milliseconds(500), "Unload");
        bool const torn = plugin_->Unload(Clock::now() + limits_.call);
        unloaded_.store(true);
        return torn;
    }
    producer_ = addressOtherThan(0xFD, id);
    requester_ = addressOtherThan(0xFE, id);

    plugin_->ProvideWorkerThreadIf();
    phase(limits_.call, "Open");
    plugin_->Open();
    out_.open({plugin_->openCode(), plugin_->openTimeNs(), plugin_->errorText()});

    offerEvents();
    runSearches();
    waitForKeptReferences();
    reportSlowDeliveries();

    stopping_.store(true); // as the core while it closes: posts refused, every search counts as cancelled
    phase(limits_.call, "Close");
    plugin_->Close();
    for (auto& s : pendingSearches_) {
        phase(limits_.call, fmt::format("OnSearch(search {:08x}) after Close", s->requestId));
        if (waitSearch(*s, limits_.call)) continue;
        fault(fmt::format("OnSearch for search {:08x} did not return within {} of Close", s->requestId,
                          seconds(limits_.call)));
        s->thread.detach(); // it still runs in the plugin: the library must stay
    }
    // Unload waits for the plugin's threads and calls up to the deadline, then calls Unload.
    phase(2 * limits_.call + std::chrono::milliseconds(500), "Unload");
    bool const torn = plugin_->Unload(Clock::now() + limits_.call);
    if (!torn)
        fault(fmt::format("Unload gave up after {}: a thread of the plugin or a call into it did not end",
                          seconds(limits_.call)));
    unloaded_.store(true);
    reportKeptAfterUnload(torn);

    // Threads end a moment after their join returns; wait for /proc to agree.
    phase(limits_.call, "counting threads");
    auto const until = Clock::now() + std::min<std::chrono::milliseconds>(limits_.call, std::chrono::seconds(2));
    size_t left = added(threadsBefore, tasks());
    while (left != 0 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // polling /proc, not synchronising with it
        left = added(threadsBefore, tasks());
    }
    if (left != 0) fault(fmt::format("{} thread(s) still running after Unload", left));

    std::lock_guard lock(mutex_);
    out_.count("events delivered", delivered_);
    out_.count("references kept", kept_);
    out_.count("references given back", givenBack_);
    out_.count("posts", posts_);
    if (logLines_ > kLogLinesShown) out_.count("log posts not shown", logLines_ - kLogLinesShown);
    return torn && left == 0;
}

} // namespace

void onStopRequest() noexcept {
    if (g_host) g_host->stopRequest();
}

bool runCheck(std::filesystem::path const& plugin, Limits limits, std::vector<ScriptedEvent> const& script,
              ReportWriter& out) {
    static Host host(limits, script, out); // outlives the plugin's threads, should any be left
    g_host = &host;
    bool const torn = host.run(plugin);
    out.finished();
    return torn;
}

} // namespace check
