// Camera: an example producer. Two simulated cameras post live video at
// 10 frames/s from the plugin's worker thread: camera number in bits 0..7 of
// `source`, wall-clock time stamp, a key frame every 10 frames. Every 50
// frames a camera's motion alarm is raised or cleared. PTZ commands whose
// `Target` is this plugin are logged.
#include <dvrcore/documents.h>
#include <dvrcore/plugin_interface.h>
#include <dvrcore/xml_document.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kAddress = 0x00310000u; // plugin id 0x31
constexpr unsigned kCameras = 2;
constexpr uint32_t kMainStream = 0; // bits 8..15 of source are ours: the stream
constexpr auto kFramePeriod = std::chrono::milliseconds(100);
constexpr unsigned kKeyEvery = 10;
constexpr unsigned kMotionEvery = 50;
constexpr size_t kKeyBytes = 16 * 1024, kDeltaBytes = 2 * 1024;

ox_EventCallback g_post = nullptr; // from Load; any thread until Unload returns

std::mutex g_mutex;
std::condition_variable g_wake;
bool g_closing = false; // under g_mutex: Close was called, the worker returns

void log(int32_t level, std::string text) {
    auto e = ox::core::makeEvent(kAddress, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, text.data(),
                                 static_cast<uint32_t>(text.size()));
    e.level = level;
    g_post(&e, nullptr);
}

uint64_t wallMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// A stand-in for an encoded frame; the core copies it before the post returns.
void postFrame(unsigned camera, unsigned sequence, std::vector<char>& frame) {
    bool const key = sequence % kKeyEvery == 0;
    frame.assign(key ? kKeyBytes : kDeltaBytes, '\0');
    std::snprintf(frame.data(), frame.size(), "camera %u frame %u", camera, sequence);
    auto e = ox::core::makeEvent(kAddress | (kMainStream << 8) | camera, OX_TYPE_VIDEO, OX_LIVE_CLASS,
                                 frame.data(), static_cast<uint32_t>(frame.size()));
    uint64_t const now = wallMs();
    e.seconds = static_cast<uint32_t>(now / 1000);
    e.milliseconds = static_cast<uint16_t>(now % 1000);
    e.frameKind = key ? OX_KEY_FRAME : 0;
    // 5 (dropped) while memory is short: a camera skips the frame, nothing to undo.
    g_post(&e, nullptr);
}

void postMotion(unsigned camera, bool raised) {
    char xml[256];
    int const n = ox_formatAlarm(xml, sizeof xml, kAddress, camera, OX_ALARM_MOTION, raised, wallMs());
    auto e = ox::core::makeEvent(kAddress | camera, OX_TYPE_ALARM, OX_LIVE_CLASS | OX_XML_PAYLOAD, xml,
                                 static_cast<uint32_t>(n));
    g_post(&e, nullptr);
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_closing = false;
    out->address = kAddress;
    out->ptz = OX_CONSUMES; // a producer declares nothing for what it posts
    out->workerThread = 1;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }
OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) { return 0; }

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    std::lock_guard lock(g_mutex);
    g_closing = true;
    g_wake.notify_one();
    return 0;
}

// The worker: the cameras' clock. Runs from before Open until Close.
OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    std::vector<char> frame;
    auto next = std::chrono::steady_clock::now();
    for (unsigned sequence = 0;; ++sequence) {
        {
            std::unique_lock lock(g_mutex);
            if (g_wake.wait_until(lock, next, [] { return g_closing; })) return 0;
        }
        next += kFramePeriod;
        for (unsigned camera = 1; camera <= kCameras; ++camera) {
            postFrame(camera, sequence, frame);
            if (sequence % kMotionEvery == kMotionEvery - 1) postMotion(camera, (sequence / kMotionEvery) % 2 == 0);
        }
    }
}

// Dispatcher thread: PTZ commands for every camera plugin arrive here.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    if (ox::core::typeOf(*e) != OX_TYPE_PTZ || !e->data) return OX_EVENT_DONE;
    try {
        rapidxml::xmlDocument<char> doc;
        doc.parse<rapidxml::kParseNonDestructive>({e->data, e->dataLen});
        auto const* ptz = doc.node(OX_DOC_ROOT "/" OX_PTZ_ELEMENT);
        if (!ptz || ptz->attr("Target", 0) != ox_documentIdOf(kAddress)) return OX_EVENT_DONE;
        auto const action = ptz->attrText("Action");
        log(OX_LOG_INFO, "camera " + std::to_string(ptz->attr("Camera", 0)) + ": " + std::string(action));
    } catch (std::exception const& x) { // never let an exception reach the core
        log(OX_LOG_NOTICE, std::string("PTZ command not understood: ") + x.what());
    }
    return OX_EVENT_DONE;
}
