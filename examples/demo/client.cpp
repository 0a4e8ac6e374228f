// Client: what a viewing station does with the appliance, checked as it goes.
// Its worker thread has a buffer encrypted and decrypted through crypto
// events, sends the parent daemon a request and waits for the answer, then
// searches the recent video of camera 1 and compares every stored result
// with the live frame the camera posted (sequence, time, key flag,
// checksum), and finally searches all of camera 2 and cancels that search
// part-way. The live video it consumes is only remembered, never kept.
#include "demo_common.h"

#include <dvrcore/crypto_event.h>
#include <dvrcore/ipc_packet.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSearchSource = 0x00000001u; // plugin id 0, not the core: a search request
constexpr uint32_t kFirstSearch = demo::kClientAddress | 1;
constexpr uint32_t kCancelledSearch = demo::kClientAddress | 2;
constexpr uint64_t kCancelAfter = 3;  // results of the second search before its cancel
// Live frames of each camera before the searches: the second one must find
// more than it takes to cancel, however slowly the cameras start (qemu).
constexpr uint64_t kFramesBeforeSearch = 3 * kCancelAfter;
constexpr uint64_t kSettleMs = 500;   // a search range ends this long before now
constexpr auto kAnswerWait = std::chrono::seconds(10);
constexpr auto kForgetAfter = std::chrono::seconds(3); // after the searches: results in flight have arrived

constexpr uint32_t kClosePriority = 200; // after the cameras, before the recorder

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

struct LiveFrame {
    uint64_t timeMs = 0;
    uint32_t checksum = 0;
    bool key = false;
    bool seen = false;
};

/// One search as seen from here.
struct Search {
    demo::SearchQuery query;
    uint64_t results = 0;
    uint64_t afterCancel = 0; // results that arrived after our cancel
    bool cancelSent = false;
    bool endSeen = false;
    std::vector<uint32_t> sequences; // in arrival order
    std::string fault;               // first mismatch, empty while all is well
};

std::mutex g_mutex;
std::condition_variable g_wake;
bool g_opened = false;  // under g_mutex: Open was called; the worker starts its script
bool g_closing = false; // under g_mutex: Close was called; the worker ends
std::vector<LiveFrame> g_live[demo::kCameras]; // under g_mutex: live video by sequence, per camera
uint64_t g_liveSeen[demo::kCameras] = {};      // under g_mutex: live video frames seen, per camera
bool g_forget = false; // under g_mutex: the searches are over; live frames are only counted
Search g_search[2];                            // under g_mutex: the two searches
std::vector<char> g_ping;                      // under g_mutex: the request sent to the parent
std::string g_pingAnswer = "no answer";        // under g_mutex: "ok" or what was wrong
Clock::time_point g_pingSent, g_pingAnswered;  // under g_mutex
std::map<std::string, std::string> g_report;   // the worker's findings; under g_mutex

// Worker thread: logs with our lock released (never post under it).
void say(std::unique_lock<std::mutex>& lock, int32_t level, std::string text) {
    lock.unlock();
    demo::log(g_post, demo::kClientAddress, level, std::move(text));
    lock.lock();
}

// A configuration document for the motion detector, as an operator's console sends one.
void setDetector() {
    std::string doc = "<?xml version=\"1.0\"?><oREC><Settings ID=\"" +
                      std::to_string(demo::kMotionAlarmAddress & OX_PLUGIN_ID_MASK) + "\" PixelDelta=\"" +
                      std::to_string(demo::kClientPixelDelta) + "\"/></oREC>";
    auto e = ox::core::makeEvent(demo::kClientAddress, OX_TYPE_CONFIG, OX_LIVE_CLASS | OX_XML_PAYLOAD, doc.data(),
                                 static_cast<uint32_t>(doc.size()));
    g_post(&e, nullptr);
}

std::string cryptoRoundTrip() {
    std::string const plain = "camera 1 key frame index, sealed by the core for the viewing station";
    std::vector<char> buf(plain.size() + 48, '\0');
    std::memcpy(buf.data(), plain.data(), plain.size());
    auto e = ox::core::makeEvent(demo::kClientAddress, OX_TYPE_CRYPTO, OX_CRYPTO_ENCRYPT, buf.data(),
                                 static_cast<uint32_t>(buf.size()));
    e.level = static_cast<int32_t>(plain.size());
    int r = g_post(&e, nullptr);
    size_t const image = 16 + (plain.size() + 15) / 16 * 16;
    if (r != OX_CRYPTO_DONE) return "encrypt returned " + std::to_string(r);
    if (e.flags != OX_CRYPTO_DECRYPT || e.level != static_cast<int32_t>(image)) return "encrypt gave a wrong state";
    if (std::memcmp(buf.data(), plain.data(), plain.size()) == 0) return "encrypt left the text plain";
    e.flags = OX_CRYPTO_DECRYPT;
    r = g_post(&e, nullptr);
    if (r != OX_CRYPTO_DONE) return "decrypt returned " + std::to_string(r);
    if (e.flags != OX_CRYPTO_ENCRYPT || e.level != static_cast<int32_t>(plain.size()) ||
        std::memcmp(buf.data(), plain.data(), plain.size()) != 0)
        return "decrypt did not give the text back";
    return "ok";
}

// Worker thread: one request to the parent; the answer comes to OnIpcResult.
std::string parentRoundTrip(std::unique_lock<std::mutex>& lock) {
    std::string const body = "ping from Client at " + std::to_string(demo::nowMs());
    g_ping.assign(OX_IPC_HEADER_SIZE + body.size(), '\0');
    ox_IpcHeader const h{static_cast<uint32_t>(g_ping.size()), ox_ipcRoutingOf(demo::kClientAddress),
                         demo::kPingRequest, 0};
    std::memcpy(g_ping.data(), &h, sizeof h);
    std::memcpy(g_ping.data() + sizeof h, body.data(), body.size());
    std::vector<char> packet = g_ping;
    g_pingSent = Clock::now();
    lock.unlock(); // never post under our own lock
    auto e = ox::core::makeEvent(demo::kClientAddress, OX_TYPE_IPC, 0, packet.data(),
                                 static_cast<uint32_t>(packet.size()));
    int const r = g_post(&e, nullptr);
    lock.lock();
    if (r != OX_POST_ACCEPTED) return "request refused";
    g_wake.wait_for(lock, kAnswerWait, [] { return g_closing || g_pingAnswer != "no answer"; });
    return g_pingAnswer;
}

// Worker thread, g_mutex held: posts a search request and waits for its end
// (its end record, or for the second search our cancel).
void runSearch(std::unique_lock<std::mutex>& lock, int which, uint32_t requestId, demo::SearchQuery const& q) {
    g_search[which].query = q;
    std::string text = demo::queryText(q);
    lock.unlock();
    auto e = ox::core::makeEvent(kSearchSource, OX_TYPE_UNSPECIFIED, 0, text.data(), static_cast<uint32_t>(text.size()));
    e.requestId = requestId;
    int const r = g_post(&e, nullptr);
    lock.lock();
    if (r != OX_POST_ACCEPTED) {
        g_search[which].fault = "request refused";
        return;
    }
    g_wake.wait_for(lock, kAnswerWait, [&] { return g_closing || g_search[which].endSeen || g_search[which].cancelSent; });
}

// Dispatcher thread, g_mutex held: the first search's end, checked against the live frames.
void checkFirstSearch() {
    Search& s = g_search[0];
    unsigned const cam = s.query.camera;
    std::vector<uint32_t> expected;
    for (uint32_t seq = 0; seq < g_live[cam - 1].size(); ++seq) {
        LiveFrame const& f = g_live[cam - 1][seq];
        if (f.seen && f.timeMs >= s.query.from && f.timeMs <= s.query.to) expected.push_back(seq);
    }
    g_report["search1.expected"] = std::to_string(expected.size());
    if (s.fault.empty() && s.sequences != expected)
        s.fault = "got " + std::to_string(s.sequences.size()) + " frames, the camera posted " +
                  std::to_string(expected.size()) + " in the range";
    if (s.fault.empty() && expected.empty()) s.fault = "no frames in the range";
}

// Dispatcher thread, g_mutex held: one stored result of one of our searches.
void onResult(ox_EventParms const& e, int which) {
    Search& s = g_search[which];
    demo::MediaInfo const m = demo::mediaOf(e);
    if (m.last) {
        s.endSeen = true;
        if (which == 0) checkFirstSearch();
        g_wake.notify_all();
        return;
    }
    ++s.results;
    if (s.cancelSent) ++s.afterCancel;
    s.sequences.push_back(m.sequence);
    LiveFrame const* live = m.camera == s.query.camera && m.sequence < g_live[m.camera - 1].size()
                                ? &g_live[m.camera - 1][m.sequence]
                                : nullptr;
    if (!s.fault.empty()) return;
    if (!demo::intactPayload(e.data, e.dataLen, m.checksum) || !demo::looksLikeJpeg(e.data, e.dataLen))
        s.fault = "result " + std::to_string(s.results) + ": payload damaged";
    else if (m.camera != s.query.camera || (e.source & demo::kCameraMask) != s.query.camera)
        s.fault = "result " + std::to_string(s.results) + ": from the wrong camera";
    else if (!live || !live->seen)
        s.fault = "frame " + std::to_string(m.sequence) + " was never posted live";
    else if (live->checksum != m.checksum || live->timeMs != demo::timeMs(e) ||
             live->key != ((e.frameKind & OX_FRAME_KIND_MASK) == OX_KEY_FRAME))
        s.fault = "frame " + std::to_string(m.sequence) + " differs from the live one";
}

std::string num(uint64_t v) { return std::to_string(v); }

// g_mutex held.
bool enoughFrames() { return *std::min_element(std::begin(g_liveSeen), std::end(g_liveSeen)) >= kFramesBeforeSearch; }

void script() {
    setDetector();
    std::string const crypto = cryptoRoundTrip();
    demo::log(g_post, demo::kClientAddress, crypto == "ok" ? OX_LOG_INFO : OX_LOG_WARNING, "crypto round trip: " + crypto);
    std::unique_lock lock(g_mutex);
    g_report["crypto"] = crypto;
    std::string const parent = parentRoundTrip(lock);
    g_report["parent"] = parent;
    say(lock, parent == "ok" ? OX_LOG_INFO : OX_LOG_WARNING, "parent round trip: " + parent);
    if (parent == "ok")
        g_report["parent.ms"] =
            num(std::chrono::duration_cast<std::chrono::milliseconds>(g_pingAnswered - g_pingSent).count());

    // The first search comes about a third into the run, over what was recorded until then.
    uint64_t const runMs = demo::setting("demo.conf", "seconds", 20) * 1000;
    uint64_t const at = std::min<uint64_t>(std::max<uint64_t>(runMs * 35 / 100, 1500), 8000);
    if (g_wake.wait_for(lock, std::chrono::milliseconds(at), [] { return g_closing; })) return;
    g_wake.wait(lock, [] { return g_closing || enoughFrames(); });
    if (g_closing) return;
    uint64_t const now = demo::nowMs();
    // Up to 5 s back: the frames before the first are simply not there to replay.
    demo::SearchQuery q1{1, now - 5000, now - kSettleMs};
    say(lock, OX_LOG_INFO, "searching camera 1: " + demo::queryText(q1));
    runSearch(lock, 0, kFirstSearch, q1);
    if (g_closing) return;
    demo::SearchQuery q2{2, 0, demo::nowMs() - kSettleMs};
    say(lock, OX_LOG_INFO, "searching all of camera 2, to be cancelled");
    runSearch(lock, 1, kCancelledSearch, q2);
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    out->address = demo::kClientAddress;
    out->video = OX_CONSUMES;
    out->workerThread = 1;
    out->closePriority = kClosePriority;
    std::lock_guard lock(g_mutex);
    g_opened = g_closing = false;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    std::lock_guard lock(g_mutex);
    g_opened = true;
    g_wake.notify_all();
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    std::unique_lock lock(g_mutex);
    g_closing = true;
    g_wake.notify_all();
    std::map<std::string, std::string> r = g_report;
    for (unsigned i = 0; i < demo::kCameras; ++i) {
        r["live.cam" + std::to_string(i + 1) + ".video"] = num(g_liveSeen[i]);
    }
    for (int i = 0; i < 2; ++i) {
        Search const& s = g_search[i];
        std::string const key = "search" + std::to_string(i + 1) + ".";
        r[key + "camera"] = num(s.query.camera);
        r[key + "results"] = num(s.results);
        r[key + "end_seen"] = s.endSeen ? "1" : "0";
        r[key + "fault"] = s.fault.empty() ? "none" : s.fault;
    }
    r["search1.matched"] = g_search[0].endSeen && g_search[0].fault.empty() ? "1" : "0";
    r["search2.cancel_sent"] = g_search[1].cancelSent ? "1" : "0";
    r["search2.after_cancel"] = num(g_search[1].afterCancel);
    lock.unlock();
    if (!demo::writeReport("Client", r)) demo::log(g_post, demo::kClientAddress, OX_LOG_WARNING, "cannot write demo-report/Client.txt");
    return 0;
}

OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    demo::nameThread("client");
    {
        std::unique_lock lock(g_mutex);
        g_wake.wait(lock, [] { return g_opened || g_closing; });
        if (g_closing) return 0;
    }
    script();
    std::unique_lock lock(g_mutex);
    // Once the last results are in, a long run does not need the live frames any more.
    if (!g_wake.wait_for(lock, kForgetAfter, [] { return g_closing; })) {
        g_forget = true;
        for (auto& frames : g_live) std::vector<LiveFrame>().swap(frames);
    }
    g_wake.wait(lock, [] { return g_closing; }); // until Close: the worker's end is the plugin's end
    return 0;
}

// Dispatcher thread.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    if (ox::core::typeOf(*e) != OX_TYPE_VIDEO) return OX_EVENT_DONE;
    demo::MediaInfo const m = demo::mediaOf(*e);
    if (m.magic != demo::kMediaMagic || m.camera < 1 || m.camera > demo::kCameras) return OX_EVENT_DONE;
    bool cancel = false;
    std::string verdict; // logged once our lock is released
    bool matched = false;
    {
        std::lock_guard lock(g_mutex);
        if (e->flags & OX_STORED_CLASS) {
            int const which = e->requestId == kFirstSearch ? 0 : e->requestId == kCancelledSearch ? 1 : -1;
            if (which < 0) return OX_EVENT_DONE;
            onResult(*e, which);
            Search const& first = g_search[0];
            matched = first.fault.empty();
            if (which == 0 && first.endSeen)
                verdict = "search 1: " + num(first.results) + " result(s), " +
                          (first.fault.empty() ? "all match the live frames" : first.fault);
            Search& s = g_search[1];
            if (which == 1 && !s.cancelSent && s.results >= kCancelAfter) cancel = s.cancelSent = true;
        } else if (ox::core::pluginIdOf(e->source) == ox::core::pluginIdOf(demo::kCamSimAddress)) {
            ++g_liveSeen[m.camera - 1];
            if (g_liveSeen[m.camera - 1] == kFramesBeforeSearch && enoughFrames()) g_wake.notify_all();
            if (g_forget) return OX_EVENT_DONE;
            auto& frames = g_live[m.camera - 1];
            if (m.sequence >= frames.size()) frames.resize(m.sequence + 1);
            frames[m.sequence] = {demo::timeMs(*e), m.checksum, (e->frameKind & OX_FRAME_KIND_MASK) == OX_KEY_FRAME, true};
        }
    }
    if (!verdict.empty())
        demo::log(g_post, demo::kClientAddress, matched ? OX_LOG_NOTICE : OX_LOG_WARNING, verdict);
    if (cancel) {
        demo::log(g_post, demo::kClientAddress, OX_LOG_DEBUG, "cancelling search 2 after " + num(kCancelAfter) + " results");
        auto c = ox::core::makeEvent(demo::kClientAddress, OX_TYPE_CANCEL, 0);
        c.requestId = kCancelledSearch;
        g_post(&c, nullptr);
        std::lock_guard lock(g_mutex);
        g_wake.notify_all();
    }
    return OX_EVENT_DONE;
}

// I/O thread: the parent's answer, the whole packet.
OX_PLUGIN_EXPORT int OnIpcResult(char const* data, size_t length) {
    std::lock_guard lock(g_mutex);
    g_pingAnswered = Clock::now();
    if (g_ping.empty())
        g_pingAnswer = "answer before the request";
    else if (length == g_ping.size() && std::memcmp(data, g_ping.data(), length) == 0)
        g_pingAnswer = "ok";
    else
        g_pingAnswer = "answer differs from the request";
    g_wake.notify_all();
    return 0;
}
