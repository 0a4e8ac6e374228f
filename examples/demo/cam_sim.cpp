// CamSim: two simulated cameras. Each has a thread of its own that posts a
// live video stream (25 frames/s, a key frame every 50 frames, sizes of a
// 1080p stream at about 2.7 Mbit/s) and a live audio stream (50 packets/s of
// 320 bytes). The camera number is the low byte of the source address; the
// typed area and the payload head carry camera, stream, sequence and checksum
// (demo_common.h), so the recorder and the client can check what they get.
#include "demo_common.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(20); // one audio packet; video every second tick
constexpr unsigned kKeyInterval = 50;
constexpr size_t kKeyBytes = 60 * 1024;
constexpr size_t kDeltaBytes = 12 * 1024;
constexpr size_t kAudioBytes = 320;

constexpr uint32_t kClosePriority = 300; // closed first: nothing new reaches the recorder while it drains

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

/// Figures of one camera; written by its thread only, read after the join.
struct Counters {
    uint64_t posted[2] = {0, 0};
    uint64_t refused[2] = {0, 0};
    uint64_t dropped[2] = {0, 0}; // live media dropped while the core was short of memory
    uint64_t bytes[2] = {0, 0};
    uint64_t keyFrames = 0;
};

std::mutex g_mutex;
std::condition_variable g_wake;
bool g_stopping = false; // under g_mutex: Close asks the camera threads to end
std::array<std::thread, demo::kCameras> g_threads; // main thread only (Open, Close)
std::array<Counters, demo::kCameras> g_counters;   // each entry: its camera's thread, then Close
std::chrono::steady_clock::time_point g_opened;    // main thread only

// Fills a payload: head, then bytes that vary with camera and sequence, so
// that two frames never carry the same bytes.
void fill(std::vector<char>& buf, unsigned camera, demo::Stream stream, uint32_t sequence) {
    uint32_t x = (camera * 0x9E3779B1u) ^ (sequence * 0x85EBCA77u) ^ stream;
    for (size_t i = sizeof(demo::PayloadHead); i < buf.size(); ++i) {
        x ^= x << 13; x ^= x >> 17; x ^= x << 5;
        buf[i] = static_cast<char>(x);
    }
    demo::PayloadHead const h{demo::kPayloadMagic, camera, stream, sequence,
                              demo::payloadChecksum(buf.data(), buf.size()), static_cast<uint32_t>(buf.size())};
    std::memcpy(buf.data(), &h, sizeof h);
}

void postMedia(unsigned camera, demo::Stream stream, uint32_t sequence, bool key, std::vector<char>& buf,
               Counters& c) {
    fill(buf, camera, stream, sequence);
    uint32_t const type = stream == demo::kVideo ? OX_TYPE_VIDEO : OX_TYPE_AUDIO;
    auto e = ox::core::makeEvent(demo::kCamSimAddress | camera, type, OX_LIVE_CLASS, buf.data(),
                                 static_cast<uint32_t>(buf.size()));
    uint64_t const now = demo::nowMs();
    e.seconds = static_cast<uint32_t>(now / 1000);
    e.milliseconds = static_cast<uint16_t>(now % 1000);
    if (key) e.frameKind = OX_KEY_FRAME;
    demo::PayloadHead h;
    std::memcpy(&h, buf.data(), sizeof h);
    demo::setMedia(e, {demo::kMediaMagic, camera, stream, sequence, h.checksum, 0});
    switch (g_post(&e, nullptr)) {
    case OX_POST_ACCEPTED:
        ++c.posted[stream];
        c.bytes[stream] += buf.size();
        if (key) ++c.keyFrames;
        break;
    case OX_POST_DROPPED: ++c.dropped[stream]; break;
    default: ++c.refused[stream]; break;
    }
}

void camera(unsigned number) {
    Counters& c = g_counters[number - 1];
    std::vector<char> video, audio(kAudioBytes);
    uint32_t frame = 0, packet = 0;
    auto next = Clock::now();
    for (unsigned tick = 0;; ++tick) {
        postMedia(number, demo::kAudio, packet++, false, audio, c);
        if (tick % 2 == 0) {
            bool const key = frame % kKeyInterval == 0;
            // Delta frames vary by up to +-1/8 around their size, as an encoder's do.
            size_t const size = key ? kKeyBytes : kDeltaBytes - kDeltaBytes / 8 + (frame * 2654435761u) % (kDeltaBytes / 4);
            video.resize(size);
            postMedia(number, demo::kVideo, frame++, key, video, c);
        }
        // Frame pacing: the only timed wait here, and it also watches for Close.
        next += kTick;
        std::unique_lock lock(g_mutex);
        if (g_wake.wait_until(lock, next, [] { return g_stopping; })) return;
    }
}

std::string num(uint64_t v) { return std::to_string(v); }

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
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
    demo::log(g_post, demo::kCamSimAddress, OX_LOG_NOTICE, "2 cameras streaming: video 25 frames/s, audio 50 packets/s");
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
        r[cam + "audio.posted"] = num(c.posted[demo::kAudio]);
        r[cam + "audio.refused"] = num(c.refused[demo::kAudio]);
        r[cam + "audio.dropped"] = num(c.dropped[demo::kAudio]);
        r[cam + "audio.bytes"] = num(c.bytes[demo::kAudio]);
    }
    if (!demo::writeReport("CamSim", r)) demo::log(g_post, demo::kCamSimAddress, OX_LOG_WARNING, "cannot write demo-report/CamSim.txt");
    return 0;
}
