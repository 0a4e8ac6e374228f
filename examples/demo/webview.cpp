// WebView: the appliance in a browser. An HTTP server (web_server.h) on the
// plugin's worker thread, on 127.0.0.1 and the port of demo.conf (port=,
// default 8080), serves one page: both cameras live, a timeline of what is
// recorded with the alarms on it, playback of a clicked point through a
// search, the alarms as they come, and the core's state.
//
// OnEvent (the dispatcher) only hands things over: live frames and search
// results are kept by reference (KeptFrame) and posted to the server's
// thread, which sends them to every viewer from the core's own copy; alarms,
// the status document and the status summary are small and copied.
#include "demo_common.h"
#include "kept_frame.h"
#include "web_server.h"

#include <dvrcore/process_info.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <regex>

namespace {

namespace asio = boost::asio;
constexpr uint32_t kSearchSource = 0x00000001u; // plugin id 0, not the core: a search request
constexpr uint32_t kClosePriority = 220;        // before the recorder: playbacks are cancelled first

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

std::unique_ptr<asio::io_context> g_io; // Load to Unload; run by the worker thread
std::optional<asio::executor_work_guard<asio::io_context::executor_type>> g_work; // main thread: Open, Close
std::unique_ptr<demo::WebServer> g_server; // made in Open, then the server thread only; ended by the worker
std::atomic<bool> g_serving{false};        // Open made the server and Close has not begun
std::atomic<uint32_t> g_offered{0};        // records offered since the last second

std::mutex g_mutex;
std::condition_variable g_wake;
bool g_done = false; // under g_mutex: the worker has closed everything and ended

void log(int32_t level, std::string text) { demo::log(g_post, demo::kWebViewAddress, level, std::move(text)); }

demo::WebHooks hooks() {
    demo::WebHooks h;
    h.search = [](uint32_t requestId, demo::SearchQuery const& q) {
        std::string text = demo::queryText(q);
        auto e = ox::core::makeEvent(kSearchSource, OX_TYPE_UNSPECIFIED, 0, text.data(), static_cast<uint32_t>(text.size()));
        e.requestId = requestId;
        return g_post(&e, nullptr);
    };
    h.cancel = [](uint32_t requestId) {
        auto c = ox::core::makeEvent(demo::kWebViewAddress, OX_TYPE_CANCEL, 0);
        c.requestId = requestId;
        g_post(&c, nullptr);
    };
    h.log = log;
    h.refs = [](unsigned id) { return oxmem::stats.refs[id & 0xFF].load(std::memory_order_relaxed); };
    h.blocks = [] {
        return std::pair{oxmem::stats.blocks.load(std::memory_order_relaxed),
                         oxmem::stats.bytes.load(std::memory_order_relaxed)};
    };
    return h;
}

// Server thread: records a second, sampled on a timer.
void sampleEverySecond(std::shared_ptr<asio::steady_timer> t) {
    t->expires_at(t->expiry() + std::chrono::seconds(1));
    t->async_wait([t](boost::system::error_code ec) {
        if (ec || !g_server || !g_serving) return;
        g_server->recordsPerSecond(g_offered.exchange(0));
        sampleEverySecond(t);
    });
}

std::string attribute(std::string const& xml, char const* name) {
    std::string const key = std::string(" ") + name + "=\"";
    auto const at = xml.find(key);
    if (at == std::string::npos) return {};
    auto const end = xml.find('"', at + key.size());
    return end == std::string::npos ? std::string() : xml.substr(at + key.size(), end - at - key.size());
}

// Dispatcher thread: an alarm document, Alarm or the core's Memory element.
std::optional<demo::AlarmNote> alarmOf(ox_EventParms const& e) {
    if (!e.data || e.dataLen == 0 || e.dataLen > 4096) return std::nullopt;
    std::string const xml(e.data, e.dataLen);
    demo::AlarmNote n;
    n.from = ox::core::pluginIdOf(e.source);
    if (xml.find("<Alarm ") != std::string::npos) {
        n.kind = attribute(xml, "Kind");
        n.camera = static_cast<unsigned>(std::strtoul(attribute(xml, "Camera").c_str(), nullptr, 10));
        n.state = attribute(xml, "State") == "0" ? 0 : 1;
        n.ms = std::strtoull(attribute(xml, "mseTime").c_str(), nullptr, 10);
    } else if (xml.find("<Memory ") != std::string::npos) {
        n.kind = "Memory";
        n.state = attribute(xml, "Throttling") == "1" ? 1 : 0;
    } else {
        return std::nullopt;
    }
    if (n.kind.empty()) n.kind = "Alarm";
    if (n.ms == 0) n.ms = demo::nowMs();
    return n;
}

template <class F>
void toServer(F&& f) {
    asio::post(*g_io, [f = std::forward<F>(f)]() mutable {
        if (g_server) f(*g_server);
    });
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    out->address = demo::kWebViewAddress;
    out->video = OX_CONSUMES;
    out->audio = OX_CONSUMES;
    out->alarm = OX_CONSUMES;
    out->log = OX_CONSUMES;
    out->workerThread = 1;
    out->closePriority = kClosePriority;
    g_io = std::make_unique<asio::io_context>(1);
    g_work.emplace(g_io->get_executor());
    std::lock_guard lock(g_mutex);
    g_done = false;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) {
    g_work.reset();
    g_io.reset();
    return 0;
}

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    auto const port = static_cast<uint16_t>(demo::setting("demo.conf", "port", 8080));
    g_server = std::make_unique<demo::WebServer>(*g_io, hooks());
    std::string error;
    if (!g_server->listen(port, error)) {
        log(OX_LOG_WARNING, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + error);
    } else {
        log(OX_LOG_NOTICE, "open http://127.0.0.1:" + std::to_string(port) + "/");
        auto t = std::make_shared<asio::steady_timer>(*g_io, std::chrono::steady_clock::now());
        asio::post(*g_io, [t] { sampleEverySecond(t); });
    }
    g_serving = true;
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    g_serving = false;
    if (g_io) {
        asio::post(*g_io, [] {
            if (g_server) g_server->stop();
        });
        g_work.reset(); // run() returns once every connection is closed
    }
    std::unique_lock lock(g_mutex);
    if (!g_wake.wait_for(lock, std::chrono::seconds(15), [] { return g_done; }))
        log(OX_LOG_WARNING, "the web server did not stop");
    return 0;
}

// Dispatcher thread: keep media by reference and hand it over; copy the small documents.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    g_offered.fetch_add(1, std::memory_order_relaxed);
    if (!g_serving) return OX_EVENT_DONE;
    uint32_t const type = ox::core::typeOf(*e);
    if (type == OX_TYPE_VIDEO && (e->flags & OX_STORED_CLASS)) {
        uint32_t const id = e->requestId;
        if (!e->data) {
            toServer([id](demo::WebServer& s) { s.storedFrame(id, nullptr); });
            return OX_EVENT_DONE;
        }
        auto f = std::make_shared<demo::KeptFrame const>(*e, demo::kWebViewAddress, g_post);
        toServer([id, f = std::move(f)](demo::WebServer& s) mutable { s.storedFrame(id, std::move(f)); });
        return OX_EVENT_KEEP;
    }
    if (type == OX_TYPE_VIDEO && (e->flags & OX_LIVE_CLASS) && e->data &&
        ox::core::pluginIdOf(e->source) == ox::core::pluginIdOf(demo::kCamSimAddress) &&
        demo::looksLikeJpeg(e->data, e->dataLen)) {
        unsigned const camera = e->source & demo::kCameraMask;
        auto f = std::make_shared<demo::KeptFrame const>(*e, demo::kWebViewAddress, g_post);
        toServer([camera, f = std::move(f)](demo::WebServer& s) mutable { s.liveFrame(camera, std::move(f)); });
        return OX_EVENT_KEEP;
    }
    if (type == OX_TYPE_ALARM) {
        if (auto n = alarmOf(*e)) toServer([n = std::move(*n)](demo::WebServer& s) mutable { s.alarm(std::move(n)); });
        return OX_EVENT_DONE;
    }
    if (type == OX_TYPE_CONFIG && e->source == OX_CORE_ADDRESS && e->data && (e->flags & OX_XML_PAYLOAD)) {
        toServer([xml = std::string(e->data, e->dataLen)](demo::WebServer& s) mutable { s.configDocument(std::move(xml)); });
        return OX_EVENT_DONE;
    }
    // The core's once-a-minute summary: its first line starts with the queue.
    if (type == OX_TYPE_LOG && ox::core::pluginIdOf(e->source) == 0 && e->data && e->dataLen > 4 &&
        std::memcmp(e->data, "InQ:", 4) == 0) {
        toServer([t = std::string(e->data, e->dataLen)](demo::WebServer& s) mutable { s.coreSummary(std::move(t)); });
    }
    return OX_EVENT_DONE;
}

OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    demo::nameThread("webview");
    try {
        g_io->run();
    } catch (std::exception const& x) {
        log(OX_LOG_CRITICAL, std::string("web server failed: ") + x.what());
    }
    if (g_server && !demo::writeReport("WebView", g_server->figures()))
        log(OX_LOG_WARNING, "cannot write demo-report/WebView.txt");
    g_server.reset(); // on this thread, where it ran
    std::lock_guard lock(g_mutex);
    g_done = true;
    g_wake.notify_all();
    return 0;
}
