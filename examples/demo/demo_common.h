// What the demo plugins and the recording checker agree on: addresses, the
// media description in the typed area and at the head of every payload, the
// recorder's index entries, the search request text and the report files.
#pragma once

#include <dvrcore/plugin_interface.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <pthread.h>

namespace demo {

// Plugin ids 0x41..0x43, 0x46 and 0x47 (the soak takes 0x44 and 0x45); the camera simulator puts the camera number (1, 2)
// into the low byte of its address word, which the core never interprets.
constexpr uint32_t kCamSimAddress = 0x00410000u;
constexpr uint32_t kRecorderAddress = 0x00420000u;
constexpr uint32_t kClientAddress = 0x00430000u;
constexpr uint32_t kMotionAlarmAddress = 0x00460000u;
constexpr uint32_t kWebViewAddress = 0x00470000u;
constexpr uint32_t kCameraMask = 0x000000FFu;
constexpr unsigned kCameras = 2;

// The motion detector's pixel step the client sets with a configuration
// document, as an operator would (the default is 24).
constexpr int kClientPixelDelta = 20;

// Parent request type the client sends; orveld-dev -e answers with the same bytes.
constexpr uint32_t kPingRequest = 0x4301u;

enum Stream : uint32_t { kVideo = 0, kAudio = 1 };

// At typed[0] of live and stored video and audio records.
struct MediaInfo {
    uint32_t magic;    // kMediaMagic
    uint32_t camera;   // 1..kCameras, as in the low byte of `source`
    uint32_t stream;   // Stream
    uint32_t sequence; // per camera and stream, from 0, no gaps
    uint32_t checksum; // fnv1a of the whole payload
    uint32_t last;     // stored results: 1 on the record without payload that ends a search
};
constexpr uint32_t kMediaMagic = 0x4D454431u; // "1DEM"

// rec/cam<N>/index.bin: one entry per recorded frame, in recording order.
struct IndexEntry {
    uint32_t seconds;
    uint16_t milliseconds;
    uint8_t stream;
    uint8_t frameKind; // OX_KEY_FRAME for key frames
    uint32_t segment;  // rec/cam<N>/seg-<segment>.bin
    uint32_t offset;   // in that segment
    uint32_t size;
    uint32_t sequence;
    uint32_t checksum;
    uint32_t reserved;
};
static_assert(sizeof(IndexEntry) == 32, "index entries are 32 bytes on every target");

inline uint32_t fnv1a(char const* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
    return h;
}

/// Whether a payload is the one a record's MediaInfo describes. Payloads are
/// what a real camera sends (a JPEG picture, a packet of audio), so the check
/// travels beside them, in the typed area and the recorder's index.
inline bool intactPayload(char const* p, size_t size, uint32_t checksum) {
    return p && size > 0 && fnv1a(p, size) == checksum;
}

/// A whole JPEG picture: start-of-image and end-of-image markers.
inline bool looksLikeJpeg(char const* p, size_t size) {
    auto const* b = reinterpret_cast<unsigned char const*>(p);
    return size >= 4 && b[0] == 0xFF && b[1] == 0xD8 && b[size - 2] == 0xFF && b[size - 1] == 0xD9;
}

inline MediaInfo mediaOf(ox_EventParms const& e) {
    MediaInfo m;
    std::memcpy(&m, e.typed, sizeof m);
    return m;
}
inline void setMedia(ox_EventParms& e, MediaInfo const& m) { std::memcpy(e.typed, &m, sizeof m); }

inline uint64_t timeMs(ox_EventParms const& e) { return uint64_t{e.seconds} * 1000 + e.milliseconds; }
inline uint64_t timeMs(IndexEntry const& e) { return uint64_t{e.seconds} * 1000 + e.milliseconds; }
inline uint64_t nowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// Search request payload: "camera=N from=MS to=MS" (wall-clock milliseconds, both ends included).
struct SearchQuery {
    unsigned camera = 0;
    unsigned long long from = 0, to = 0;
};
inline std::string queryText(SearchQuery const& q) {
    char b[96];
    std::snprintf(b, sizeof b, "camera=%u from=%llu to=%llu", q.camera, q.from, q.to);
    return b;
}
inline bool parseQuery(char const* p, size_t n, SearchQuery& q) {
    std::string const text(p, n);
    return std::sscanf(text.c_str(), "camera=%u from=%llu to=%llu", &q.camera, &q.from, &q.to) == 3;
}

/// A number from a key=value file in the working directory (demo.conf,
/// written by scripts/demo), or `fallback`.
inline unsigned long setting(char const* file, char const* key, unsigned long fallback) {
    FILE* f = std::fopen(file, "r");
    if (!f) return fallback;
    char line[128];
    unsigned long value = fallback;
    size_t const n = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, n) == 0 && line[n] == '=') value = std::strtoul(line + n + 1, nullptr, 10);
    std::fclose(f);
    return value;
}

/// <folder>/<name>.txt in the working directory: key=value lines.
inline bool writeReport(char const* name, std::map<std::string, std::string> const& values,
                        char const* folder = "demo-report") {
    std::string const path = std::string(folder) + "/" + name + ".txt";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    for (auto const& [k, v] : values) std::fprintf(f, "%s=%s\n", k.c_str(), v.c_str());
    return std::fclose(f) == 0;
}

/// Names the calling thread (at most 15 characters), so that top -H and
/// /proc/<pid>/task show which plugin's thread spends the time.
inline void nameThread(char const* name) { pthread_setname_np(pthread_self(), name); }

/// Logs through the core; the text is copied before the post returns.
inline void log(ox_EventCallback post, uint32_t address, int32_t level, std::string text) {
    if (!post) return;
    auto e = ox::core::makeEvent(address, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, text.data(),
                                 static_cast<uint32_t>(text.size()));
    e.level = level;
    post(&e, nullptr);
}

} // namespace demo
