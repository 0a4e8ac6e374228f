// MotionAlarm: a motion detector, and the example to copy for keeping frames
// by reference. It keeps only the newest live frame of each camera: a new
// frame takes the place of the one before, which is released at once, so a
// slow detector costs one frame a camera and always looks at the newest
// picture. Its worker thread decodes that frame at an eighth of its size,
// compares it with the last picture it examined (the camera's overlay band
// masked) and, when enough of it changed, posts an alarm document
//   <oREC><Alarm ID=".." Camera="N" Kind="Motion" State="1" Time=".." mseTime=".."/></oREC>
// at most once a second per camera; State="0" once the camera has been
// still for two seconds.
#include "demo_common.h"
#include "jpeg.h"
#include "kept_frame.h"
#include "scene.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kPixelDelta = 24;          // luma step that counts as a change
constexpr unsigned kChangedCells = 8;    // changed pixels (at 1/8 size) that make motion
constexpr uint64_t kAlarmEveryMs = 1000; // at most one raised alarm a second per camera
constexpr uint64_t kClearAfterMs = 2000; // still this long: the alarm is cleared
constexpr uint32_t kClosePriority = 250; // after the cameras

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

/// One camera as the worker sees it.
struct Detector {
    demo::GreyPicture before;  // last picture examined
    bool raised = false;       // an alarm with State="1" is standing
    uint64_t lastAlarmMs = 0;  // frame time of the last State="1"
    uint64_t lastMotionMs = 0; // frame time of the last change seen
    uint64_t examined = 0, alarms = 0, undecodable = 0;
    std::string alarmTimes; // mseTime of each State="1", ',' between
};

std::mutex g_mutex;
std::condition_variable g_wake;
demo::FramePtr g_latest[demo::kCameras]; // under g_mutex: the newest frame of each camera
uint64_t g_offered[demo::kCameras] = {};        // under g_mutex: live frames we kept, counting from 1
bool g_closing = false;                         // under g_mutex: Close was called; the worker ends
bool g_done = false;                            // under g_mutex: the worker has ended
Detector g_detectors[demo::kCameras];           // worker thread; read by Close once g_done

unsigned changedCells(demo::GreyPicture const& a, demo::GreyPicture const& b) {
    if (a.width != b.width || a.height != b.height) return 0;
    unsigned const masked = (demo::kOverlayRows + 7) / 8; // rows of the overlay band at 1/8 size
    unsigned n = 0;
    for (unsigned y = masked; y < a.height; ++y)
        for (unsigned x = 0; x < a.width; ++x) {
            size_t const i = static_cast<size_t>(y) * a.width + x;
            if (std::abs(int{a.luma[i]} - int{b.luma[i]}) > kPixelDelta) ++n;
        }
    return n;
}

void postAlarm(unsigned camera, bool state, uint64_t ms) {
    char xml[256];
    int const n = std::snprintf(xml, sizeof xml,
                                "<?xml version=\"1.0\"?><oREC><Alarm ID=\"%d\" Camera=\"%u\" Kind=\"Motion\" "
                                "State=\"%d\" Time=\"%llu\" mseTime=\"%llu\"/></oREC>",
                                static_cast<int>(demo::kMotionAlarmAddress & OX_PLUGIN_ID_MASK), camera, state ? 1 : 0,
                                static_cast<unsigned long long>(ms / 1000), static_cast<unsigned long long>(ms));
    auto e = ox::core::makeEvent(demo::kMotionAlarmAddress | camera, OX_TYPE_ALARM, OX_LIVE_CLASS | OX_XML_PAYLOAD,
                                 xml, static_cast<uint32_t>(n));
    g_post(&e, nullptr);
}

// Worker thread, no lock held: one frame of one camera.
void examine(unsigned camera, ox::core::EventParms const& frame) {
    Detector& d = g_detectors[camera - 1];
    demo::GreyPicture now;
    if (!demo::decodeJpegEighth(frame.data, frame.dataLen, now)) {
        ++d.undecodable;
        return;
    }
    ++d.examined;
    uint64_t const t = demo::timeMs(frame);
    bool const moved = !d.before.luma.empty() && changedCells(d.before, now) >= kChangedCells;
    d.before = std::move(now);
    if (moved) {
        d.lastMotionMs = t;
        if (!d.raised || t - d.lastAlarmMs >= kAlarmEveryMs) {
            postAlarm(camera, true, t);
            d.raised = true;
            d.lastAlarmMs = t;
            ++d.alarms;
            if (!d.alarmTimes.empty()) d.alarmTimes += ',';
            d.alarmTimes += std::to_string(t);
        }
    } else if (d.raised && t - d.lastMotionMs >= kClearAfterMs) {
        postAlarm(camera, false, t);
        d.raised = false;
    }
}

std::string num(uint64_t v) { return std::to_string(v); }

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    out->address = demo::kMotionAlarmAddress;
    out->video = OX_CONSUMES;
    out->workerThread = 1;
    out->closePriority = kClosePriority;
    std::lock_guard lock(g_mutex);
    g_closing = g_done = false;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) { return 0; }

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    demo::FramePtr held[demo::kCameras];
    uint64_t offered[demo::kCameras];
    {
        std::unique_lock lock(g_mutex);
        g_closing = true;
        g_wake.notify_all();
        g_wake.wait_for(lock, std::chrono::seconds(10), [] { return g_done; });
        for (unsigned i = 0; i < demo::kCameras; ++i) {
            held[i] = std::move(g_latest[i]);
            offered[i] = g_offered[i];
        }
    }
    for (auto& h : held) h.reset(); // the last frames go back outside our lock
    std::map<std::string, std::string> r;
    for (unsigned i = 0; i < demo::kCameras; ++i) {
        Detector const& d = g_detectors[i];
        std::string const cam = "cam" + std::to_string(i + 1) + ".";
        r[cam + "offered"] = num(offered[i]);
        r[cam + "examined"] = num(d.examined);
        r[cam + "undecodable"] = num(d.undecodable);
        r[cam + "alarms"] = num(d.alarms);
        r[cam + "alarm_times"] = d.alarmTimes.empty() ? "none" : d.alarmTimes;
    }
    if (!demo::writeReport("MotionAlarm", r))
        demo::log(g_post, demo::kMotionAlarmAddress, OX_LOG_WARNING, "cannot write demo-report/MotionAlarm.txt");
    return 0;
}

// Dispatcher thread: keep the newest frame, give back the one it replaces.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    if (ox::core::typeOf(*e) != OX_TYPE_VIDEO || !(e->flags & OX_LIVE_CLASS) || !e->data ||
        ox::core::pluginIdOf(e->source) != ox::core::pluginIdOf(demo::kCamSimAddress))
        return 0;
    unsigned const camera = e->source & demo::kCameraMask;
    if (camera < 1 || camera > demo::kCameras) return 0;
    demo::FramePtr before;
    {
        std::lock_guard lock(g_mutex);
        if (g_closing) return 0;
        before = std::move(g_latest[camera - 1]);
        g_latest[camera - 1] = std::make_shared<demo::KeptFrame>(*e, demo::kMotionAlarmAddress, g_post);
        ++g_offered[camera - 1];
    }
    g_wake.notify_all();
    return 1; // kept; `before` is released here, after our lock, unless the worker still reads it
}

OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    // By count, not by pointer: holding the examined frame would keep a second one.
    uint64_t examined[demo::kCameras] = {};
    std::unique_lock lock(g_mutex);
    for (;;) {
        auto fresh = [&] {
            for (unsigned i = 0; i < demo::kCameras; ++i)
                if (g_latest[i] && g_offered[i] != examined[i]) return static_cast<int>(i);
            return -1;
        };
        g_wake.wait(lock, [&] { return g_closing || fresh() >= 0; });
        if (g_closing) break;
        int const i = fresh();
        demo::FramePtr frame = g_latest[i];
        examined[i] = g_offered[i];
        lock.unlock(); // never decode or post under our lock
        examine(static_cast<unsigned>(i) + 1, frame->record());
        frame.reset(); // gives the frame back if a newer one has replaced it meanwhile
        lock.lock();
    }
    g_done = true;
    g_wake.notify_all();
    return 0;
}
