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
//
// Its settings live in "motionalarm.xml" in the core's working directory,
//   <oREC><Settings ID="4587520" Threshold="8" PixelDelta="24"/></oREC>
// read at open (defaults, saved, when the file is missing; defaults in force
// and the file left alone when it is damaged) and changed by a configuration
// document carrying a Settings element with our ID; the worker saves them.
#include "demo_common.h"
#include "jpeg.h"
#include "kept_frame.h"
#include "scene.h"

#include <dvrcore/store.h>
#include <dvrcore/xml_document.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace {

constexpr char kSettingsFile[] = "motionalarm.xml";
constexpr int kDocumentId = static_cast<int>(demo::kMotionAlarmAddress & OX_PLUGIN_ID_MASK);

struct Settings {
    int threshold = 8;   ///< Threshold: changed pixels (at 1/8 size) that make motion
    int pixelDelta = 24; ///< PixelDelta: luma step that counts as a change
};

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
Settings g_settings;                            // under g_mutex
bool g_settingsDirty = false;                   // under g_mutex: to be saved by the worker
Detector g_detectors[demo::kCameras];           // worker thread; read by Close once g_done

void log(int32_t level, std::string text) { demo::log(g_post, demo::kMotionAlarmAddress, level, std::move(text)); }

std::string settingsText(Settings const& s) {
    return "<?xml version=\"1.0\"?><oREC><Settings ID=\"" + std::to_string(kDocumentId) + "\" Threshold=\"" +
           std::to_string(s.threshold) + "\" PixelDelta=\"" + std::to_string(s.pixelDelta) + "\"/></oREC>";
}

std::string describe(Settings const& s) {
    return "threshold " + std::to_string(s.threshold) + " pixels, pixel delta " + std::to_string(s.pixelDelta);
}

/// The Settings element with our ID, or null.
rapidxml::xmlNode<char> const* ours(rapidxml::xmlDocument<char> const& doc) {
    for (auto const* n = doc.node("oREC/Settings"); n; n = n->nextSibling("Settings"))
        if (n->attr("ID", 0) == kDocumentId) return n;
    return nullptr;
}

// Attributes present change their setting, within sense; absent ones keep it.
Settings applied(Settings s, rapidxml::xmlNode<char> const& n) {
    s.threshold = std::clamp(n.attr("Threshold", s.threshold), 1, 10000);
    s.pixelDelta = std::clamp(n.attr("PixelDelta", s.pixelDelta), 1, 255);
    return s;
}

bool exists(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Main thread, at open.
void loadSettings() {
    std::string const file = kSettingsFile;
    if (!exists(file) && !exists(file + std::string(oxcfg::kPendingSuffix))) {
        {
            std::lock_guard lock(g_mutex);
            g_settings = Settings{};
            g_settingsDirty = true; // the defaults are written out
        }
        log(OX_LOG_INFO, file + " not found: defaults in force (" + describe(Settings{}) + ")");
        return;
    }
    Settings loaded;
    try {
        std::string const stored = oxcfg::loadConfig(file);
        rapidxml::xmlDocument<char> doc;
        doc.parse<rapidxml::kParseNonDestructive>(stored);
        if (auto const* n = ours(doc)) loaded = applied(loaded, *n);
    } catch (std::exception const& x) {
        // Left as it is for someone to look at, until a settings document replaces it.
        log(OX_LOG_WARNING, file + " is damaged, defaults in force: " + x.what());
        return;
    }
    std::lock_guard lock(g_mutex);
    g_settings = loaded;
}

// Dispatcher thread: a configuration document; only our Settings element counts.
void settingsDocument(ox_EventParms const& e) {
    std::string_view const text(e.data, e.dataLen);
    if (text.find("<Settings") == std::string_view::npos) return;
    std::string changed;
    try {
        rapidxml::xmlDocument<char> doc;
        doc.parse<rapidxml::kParseNonDestructive>(text);
        auto const* n = ours(doc);
        if (!n) return;
        std::lock_guard lock(g_mutex);
        Settings const s = applied(g_settings, *n);
        if (s.threshold == g_settings.threshold && s.pixelDelta == g_settings.pixelDelta) return;
        g_settings = s;
        g_settingsDirty = true;
        changed = describe(s);
    } catch (std::exception const& x) {
        log(OX_LOG_NOTICE, std::string("settings document refused: ") + x.what());
        return;
    }
    g_wake.notify_all();
    log(OX_LOG_INFO, "settings changed: " + changed);
}

// Worker thread, no lock held.
void saveSettings(Settings const& s) {
    try {
        oxcfg::saveConfig(kSettingsFile, settingsText(s));
    } catch (std::exception const& x) {
        log(OX_LOG_WARNING, std::string("settings not saved: ") + x.what());
    }
}

unsigned changedCells(demo::GreyPicture const& a, demo::GreyPicture const& b, int pixelDelta) {
    if (a.width != b.width || a.height != b.height) return 0;
    unsigned const masked = (demo::kOverlayRows + 7) / 8; // rows of the overlay band at 1/8 size
    unsigned n = 0;
    for (unsigned y = masked; y < a.height; ++y)
        for (unsigned x = 0; x < a.width; ++x) {
            size_t const i = static_cast<size_t>(y) * a.width + x;
            if (std::abs(int{a.luma[i]} - int{b.luma[i]}) > pixelDelta) ++n;
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
void examine(unsigned camera, ox::core::EventParms const& frame, Settings const& settings) {
    Detector& d = g_detectors[camera - 1];
    demo::GreyPicture now;
    if (!demo::decodeJpegEighth(frame.data, frame.dataLen, now)) {
        ++d.undecodable;
        return;
    }
    ++d.examined;
    uint64_t const t = demo::timeMs(frame);
    bool const moved = !d.before.luma.empty() &&
                       changedCells(d.before, now, settings.pixelDelta) >= static_cast<unsigned>(settings.threshold);
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

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    loadSettings();
    g_wake.notify_all();
    return 0;
}

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
    {
        std::lock_guard lock(g_mutex);
        r["settings.threshold"] = std::to_string(g_settings.threshold);
        r["settings.pixel_delta"] = std::to_string(g_settings.pixelDelta);
    }
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
    if (ox::core::typeOf(*e) == OX_TYPE_CONFIG && (e->flags & OX_XML_PAYLOAD) && e->data && e->source != OX_CORE_ADDRESS) {
        settingsDocument(*e);
        return OX_EVENT_DONE;
    }
    if (ox::core::typeOf(*e) != OX_TYPE_VIDEO || !(e->flags & OX_LIVE_CLASS) || !e->data ||
        ox::core::pluginIdOf(e->source) != ox::core::pluginIdOf(demo::kCamSimAddress))
        return OX_EVENT_DONE;
    unsigned const camera = e->source & demo::kCameraMask;
    if (camera < 1 || camera > demo::kCameras) return OX_EVENT_DONE;
    demo::FramePtr before;
    {
        std::lock_guard lock(g_mutex);
        if (g_closing) return OX_EVENT_DONE;
        before = std::move(g_latest[camera - 1]);
        g_latest[camera - 1] = std::make_shared<demo::KeptFrame>(*e, demo::kMotionAlarmAddress, g_post);
        ++g_offered[camera - 1];
    }
    g_wake.notify_all();
    return OX_EVENT_KEEP; // kept; `before` is released here, after our lock, unless the worker still reads it
}

OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    demo::nameThread("motionalarm");
    // By count, not by pointer: holding the examined frame would keep a second one.
    uint64_t examined[demo::kCameras] = {};
    std::unique_lock lock(g_mutex);
    for (;;) {
        auto fresh = [&] {
            for (unsigned i = 0; i < demo::kCameras; ++i)
                if (g_latest[i] && g_offered[i] != examined[i]) return static_cast<int>(i);
            return -1;
        };
        g_wake.wait(lock, [&] { return g_closing || g_settingsDirty || fresh() >= 0; });
        if (g_settingsDirty) {
            g_settingsDirty = false;
            Settings const s = g_settings;
            lock.unlock(); // the disk is no place to hold our lock
            saveSettings(s);
            lock.lock();
            continue;
        }
        if (g_closing) break;
        int const i = fresh();
        Settings const settings = g_settings;
        demo::FramePtr frame = g_latest[i];
        examined[i] = g_offered[i];
        lock.unlock(); // never decode or post under our lock
        examine(static_cast<unsigned>(i) + 1, frame->record(), settings);
        frame.reset(); // gives the frame back if a newer one has replaced it meanwhile
        lock.lock();
    }
    g_done = true;
    g_wake.notify_all();
    return 0;
}
