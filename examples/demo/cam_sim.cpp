// CamSim: two simulated cameras. Each has a thread of its own that draws
// its scene (scene.h), encodes it as a JPEG picture and posts it as live
// video (default 640x360 at 10 frames/s; demo.conf: width, height, fps), and
// posts live audio (50 packets/s of 320 bytes of a tone). The camera number
// is the low byte of the source address and is in the typed area with the
// stream, the sequence and the payload's checksum (demo_common.h), so that
// the recorder and the client can check what they get.
#include "demo_common.h"
#include "jpeg.h"
#include "scene.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAudioTick = std::chrono::milliseconds(20);
constexpr size_t kAudioBytes = 320; // 20 ms of 8 kHz 16-bit mono
constexpr int kJpegQuality = 75;

constexpr uint32_t kClosePriority = 300; // closed first: nothing new reaches the recorder while it drains

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

/// Picture size and rate; set in Load, read by the camera threads after Open.
struct Format {
    unsigned width = 640, height = 360, fps = 10;
} g_format;

/// Figures of one camera; written by its thread only, read after the join.
struct Counters {
    uint64_t posted[2] = {0, 0};
    uint64_t refused[2] = {0, 0};
    uint64_t dropped[2] = {0, 0}; // live media dropped while the core was short of memory
    uint64_t bytes[2] = {0, 0};
    uint64_t keyFrames = 0;
    uint64_t encodeErrors = 0;
    uint64_t encodeUs = 0;      // time spent drawing and encoding
    std::string motion;         // "from-to" wall-clock ms of each motion window, ';' between
    uint64_t motionFrom = 0, motionTo = 0;
};

std::mutex g_mutex;
std::condition_variable g_wake;
bool g_stopping = false; // under g_mutex: Close asks the camera threads to end
std::array<std::thread, demo::kCameras> g_threads; // main thread only (Open, Close)
std::array<Counters, demo::kCameras> g_counters;   // each entry: its camera's thread, then Close
std::chrono::steady_clock::time_point g_opened;    // main thread only

bool postMedia(unsigned camera, demo::Stream stream, uint32_t sequence, std::vector<char>& buf, uint64_t wallMs,
               Counters& c) {
    uint32_t const type = stream == demo::kVideo ? OX_TYPE_VIDEO : OX_TYPE_AUDIO;
    auto e = ox::core::makeEvent(demo::kCamSimAddress | camera, type, OX_LIVE_CLASS, buf.data(),
                                 static_cast<uint32_t>(buf.size()));
    e.seconds = static_cast<uint32_t>(wallMs / 1000);
    e.milliseconds = static_cast<uint16_t>(wallMs % 1000);
    // Every picture stands alone.
    if (stream == demo::kVideo) e.frameKind = OX_KEY_FRAME;
    demo::setMedia(e, {demo::kMediaMagic, camera, stream, sequence,
                       demo::fnv1a(buf.data(), buf.size()), 0});
    switch (g_post(&e, nullptr)) {
    case OX_POST_ACCEPTED:
        ++c.posted[stream];
        c.bytes[stream] += buf.size();
        if (stream == demo::kVideo) ++c.keyFrames;
        return true;
    case OX_POST_DROPPED: ++c.dropped[stream]; return false;
    default: ++c.refused[stream]; return false;
    }
}

// A 440 Hz tone (camera 2 an octave up), phase carried across packets.
void tone(std::vector<char>& buf, unsigned camera, uint32_t packet) {
    size_t const samples = buf.size() / 2;
    double const step = 2 * 3.14159265358979 * 440.0 * camera / 8000.0;
    for (size_t i = 0; i < samples; ++i) {
        auto const v = static_cast<int16_t>(3000 * std::sin(step * static_cast<double>(packet * samples + i)));
        buf[2 * i] = static_cast<char>(v & 0xFF);
        buf[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
}

void noteMotion(Counters& c, bool moving, uint64_t wallMs) {
    if (moving) {
        if (c.motionFrom == 0) c.motionFrom = wallMs;
        c.motionTo = wallMs;
    } else if (c.motionFrom != 0) {
        if (!c.motion.empty()) c.motion += ';';
        c.motion += std::to_string(c.motionFrom) + "-" + std::to_string(c.motionTo);
        c.motionFrom = 0;
    }
}

void camera(unsigned number) {
    demo::nameThread(("cam" + std::to_string(number)).c_str());
    Counters& c = g_counters[number - 1];
    Format const f = g_format;
    auto const frameTick = std::chrono::microseconds(1000000 / f.fps);
    std::vector<unsigned char> rgb;
    std::vector<char> video, audio(kAudioBytes);
    uint32_t frame = 0, packet = 0;
    uint64_t movingMs = 0;
    auto const start = Clock::now();
    auto nextVideo = start, nextAudio = start, lastVideo = start;
    for (;;) {
        auto const now = Clock::now();
        if (now >= nextAudio) {
            tone(audio, number, packet);
            postMedia(number, demo::kAudio, packet++, audio, demo::nowMs(), c);
            nextAudio += kAudioTick;
        }
        if (now >= nextVideo) {
            auto const sinceStart = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
            bool const moving = demo::inMotion(number, static_cast<uint64_t>(sinceStart));
            if (moving) movingMs += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - lastVideo).count());
            lastVideo = now;
            uint64_t const wall = demo::nowMs();
            demo::drawScene(rgb, f.width, f.height, number, movingMs, wall, frame);
            if (demo::encodeJpeg(rgb.data(), f.width, f.height, kJpegQuality, video)) {
                if (postMedia(number, demo::kVideo, frame, video, wall, c)) {
                    ++frame;
                    noteMotion(c, moving, wall);
                }
            } else {
                ++c.encodeErrors;
            }
            c.encodeUs += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - now).count());
            nextVideo += frameTick;
            // A camera that cannot keep its rate skips frames rather than bunching them.
            if (nextVideo < Clock::now()) nextVideo = Clock::now() + frameTick;
        }
        // Frame pacing: the only timed wait here, and it also watches for Close.
        std::unique_lock lock(g_mutex);
        if (g_wake.wait_until(lock, std::min(nextVideo, nextAudio), [] { return g_stopping; })) break;
    }
    noteMotion(c, false, 0);
}

std::string num(uint64_t v) { return std::to_string(v); }

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_format.width = static_cast<unsigned>(std::clamp<unsigned long>(demo::setting("demo.conf", "width", 640), 64, 1920));
    g_format.height = static_cast<unsigned>(std::clamp<unsigned long>(demo::setting("demo.conf", "height", 360), 64, 1080));
    g_format.fps = static_cast<unsigned>(std::clamp<unsigned long>(demo::setting("demo.conf", "fps", 10), 1, 30));
    out->address = demo::kCamSimAddress;
    out->closePriority = kClosePriority;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    g_opened = Clock::now();
    {
        std::lock_guard lock(g_mutex);
        g_stopping = false;
    }
    for (unsigned i = 0; i < demo::kCameras; ++i) g_threads[i] = std::thread(camera, i + 1);
    demo::log(g_post, demo::kCamSimAddress, OX_LOG_NOTICE,
              "2 cameras streaming: JPEG " + std::to_string(g_format.width) + "x" + std::to_string(g_format.height) +
                  " at " + std::to_string(g_format.fps) + " frames/s, audio 50 packets/s");
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    {
        std::lock_guard lock(g_mutex);
        g_stopping = true;
    }
    g_wake.notify_all();
    for (auto& t : g_threads)
        if (t.joinable()) t.join();
    double const seconds = std::chrono::duration<double>(Clock::now() - g_opened).count();
    std::map<std::string, std::string> r;
    r["seconds"] = std::to_string(seconds);
    for (unsigned i = 0; i < demo::kCameras; ++i) {
        Counters const& c = g_counters[i];
        std::string const cam = "cam" + std::to_string(i + 1) + ".";
        r[cam + "video.posted"] = num(c.posted[demo::kVideo]);
        r[cam + "video.refused"] = num(c.refused[demo::kVideo]);
        r[cam + "video.dropped"] = num(c.dropped[demo::kVideo]);
        r[cam + "video.bytes"] = num(c.bytes[demo::kVideo]);
        r[cam + "video.key"] = num(c.keyFrames);
        r[cam + "video.encode_errors"] = num(c.encodeErrors);
        r[cam + "video.encode_us"] = num(c.posted[demo::kVideo] ? c.encodeUs / c.posted[demo::kVideo] : 0);
        r[cam + "motion"] = c.motion.empty() ? "none" : c.motion;
        r[cam + "audio.posted"] = num(c.posted[demo::kAudio]);
        r[cam + "audio.refused"] = num(c.refused[demo::kAudio]);
        r[cam + "audio.dropped"] = num(c.dropped[demo::kAudio]);
        r[cam + "audio.bytes"] = num(c.bytes[demo::kAudio]);
    }
    if (!demo::writeReport("CamSim", r)) demo::log(g_post, demo::kCamSimAddress, OX_LOG_WARNING, "cannot write demo-report/CamSim.txt");
    return 0;
}
