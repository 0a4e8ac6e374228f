// Recorder: records the cameras' live video and audio and replays stored
// video for searches. OnEvent keeps each frame's payload and queues it; the
// worker thread appends it to rec/cam<N>/seg-<k>.bin (a new segment at the
// first key frame after kSegmentMs), adds an entry to rec/cam<N>/index.bin
// and only then gives the payload back. A search ("camera=N from=MS to=MS")
// reads the matching video frames back from disk and posts them as stored
// results, one in flight at a time as the core paces them, and ends early
// once the search is cancelled.
#include "demo_common.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr uint64_t kSegmentMs = 4000;
// How long a search waits for the end of its range to be recorded.
constexpr auto kRecordedWait = std::chrono::seconds(3);

constexpr uint32_t kClosePriority = 100; // closed last of the three: it drains what the cameras posted

ox_EventCallback g_post = nullptr; // from Load; callable from any thread until Unload returns

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

/// The files one camera is recorded into; the worker thread only.
struct Writer {
    File segment, index;
    uint32_t number = 0;   // current segment
    uint32_t segments = 0; // segments begun
    uint32_t offset = 0;  // bytes in the current segment
    uint64_t startMs = 0; // time of its first frame
    bool open = false;
    uint64_t frames[2] = {0, 0};
    uint64_t bytes = 0;
    uint64_t writeErrors = 0;
    uint32_t oldest = 0; // oldest segment still on disk
};

// retention=S in demo.conf: segments whose frames are all older than S seconds
// are deleted and their frames forgotten (a long run); 0 keeps everything.
uint64_t g_retentionMs = 0; // set in Load

/// One search as the report shows it.
struct SearchFigures {
    uint32_t requestId = 0;
    unsigned camera = 0;
    uint64_t available = 0; // stored frames in its range
    uint64_t posted = 0;    // results the core took
    uint64_t badReads = 0;  // frames that did not read back as written
    bool cancelled = false;
    bool finished = false;
};

std::mutex g_queueMutex;
std::condition_variable g_queueWake;
std::deque<ox::core::EventParms> g_kept; // under g_queueMutex: frames whose payload reference we hold
bool g_closing = false;                  // under g_queueMutex: Close was called; the worker drains and ends
bool g_drained = false;                  // under g_queueMutex: the worker has released everything and ended

std::mutex g_indexMutex;
std::condition_variable g_recordedWake;
std::deque<demo::IndexEntry> g_index[demo::kCameras];  // under g_indexMutex: what is on disk, per camera
uint64_t g_lastVideoMs[demo::kCameras] = {};           // under g_indexMutex: newest recorded video frame
std::vector<SearchFigures> g_searches;                 // under g_indexMutex, in arrival order

Writer g_writers[demo::kCameras]; // worker thread; read by Close once g_drained

std::string camDir(unsigned camera) { return "rec/cam" + std::to_string(camera); }
std::string segmentPath(unsigned camera, uint32_t n) {
    return camDir(camera) + "/seg-" + std::to_string(n) + ".bin";
}

// Worker thread: appends one frame and publishes its index entry.
void record(ox::core::EventParms const& e) {
    demo::MediaInfo const m = demo::mediaOf(e);
    Writer& w = g_writers[m.camera - 1];
    bool const key = (e.frameKind & OX_FRAME_KIND_MASK) == OX_KEY_FRAME;
    uint64_t const t = demo::timeMs(e);
    if (!w.open || (m.stream == demo::kVideo && key && t - w.startMs >= kSegmentMs)) {
        w.number = w.segments;
        w.segment.reset(std::fopen(segmentPath(m.camera, w.number).c_str(), "wb"));
        if (!w.index) w.index.reset(std::fopen((camDir(m.camera) + "/index.bin").c_str(), "wb"));
        w.offset = 0;
        w.startMs = t;
        w.open = w.segment && w.index;
        if (!w.open) {
            ++w.writeErrors;
            return;
        }
        ++w.segments;
        demo::log(g_post, demo::kRecorderAddress, OX_LOG_INFO,
                  "camera " + std::to_string(m.camera) + ": recording into " + segmentPath(m.camera, w.number));
    }
    demo::IndexEntry const entry{e.seconds, e.milliseconds, static_cast<uint8_t>(m.stream),
                                 static_cast<uint8_t>(e.frameKind & OX_FRAME_KIND_MASK), w.number, w.offset,
                                 e.dataLen, m.sequence, m.checksum, 0};
    // The frame is on disk (flushed) before its entry, and the entry before a search can see it.
    if (std::fwrite(e.data, 1, e.dataLen, w.segment.get()) != e.dataLen || std::fflush(w.segment.get()) != 0 ||
        std::fwrite(&entry, sizeof entry, 1, w.index.get()) != 1 || std::fflush(w.index.get()) != 0) {
        ++w.writeErrors;
        w.open = false; // start a fresh segment with the next frame
        return;
    }
    w.offset += e.dataLen;
    ++w.frames[m.stream];
    w.bytes += e.dataLen;
    std::lock_guard lock(g_indexMutex);
    auto& index = g_index[m.camera - 1];
    index.push_back(entry);
    if (m.stream == demo::kVideo) g_lastVideoMs[m.camera - 1] = t;
    g_recordedWake.notify_all();
    if (g_retentionMs == 0 || !key) return;
    // Whole segments only, never the one being written: a segment goes when
    // the first frame after it is older than the retention.
    while (w.oldest < w.number) {
        auto const next = std::find_if(index.begin(), index.end(), [&](auto const& x) { return x.segment > w.oldest; });
        if (next == index.end() || demo::timeMs(*next) + g_retentionMs >= t) break;
        index.erase(index.begin(), next);
        std::remove(segmentPath(m.camera, w.oldest++).c_str());
    }
}

void release(char* payload) {
    // Exactly one decref per kept payload: the pointer OnEvent got, our own address word.
    auto e = ox::core::makeEvent(demo::kRecorderAddress, OX_TYPE_DECREF, 0, payload);
    g_post(&e, nullptr);
}

bool cancelled(uint32_t requestId) {
    auto c = ox::core::makeEvent(demo::kRecorderAddress, OX_TYPE_CANCEL, OX_QUERY_FLAG);
    c.requestId = requestId;
    return g_post(&c, nullptr) == 1;
}

// Search thread: one result at a time, read back from disk.
void replay(uint32_t requestId, demo::SearchQuery const& q, size_t slot) {
    std::vector<demo::IndexEntry> matches;
    {
        std::unique_lock lock(g_indexMutex);
        // The newest frames of the range may still be on their way to disk.
        g_recordedWake.wait_for(lock, kRecordedWait, [&] { return g_lastVideoMs[q.camera - 1] >= q.to; });
        for (auto const& e : g_index[q.camera - 1])
            if (e.stream == demo::kVideo && demo::timeMs(e) >= q.from && demo::timeMs(e) <= q.to) matches.push_back(e);
        g_searches[slot].available = matches.size();
    }
    File segment;
    uint32_t open = UINT32_MAX;
    std::vector<char> buf;
    uint64_t posted = 0, bad = 0;
    bool stopped = false;
    for (auto const& m : matches) {
        if (cancelled(requestId)) {
            stopped = true;
            break;
        }
        if (open != m.segment) {
            segment.reset(std::fopen(segmentPath(q.camera, m.segment).c_str(), "rb"));
            open = m.segment;
        }
        buf.resize(m.size);
        if (!segment || std::fseek(segment.get(), static_cast<long>(m.offset), SEEK_SET) != 0 ||
            std::fread(buf.data(), 1, m.size, segment.get()) != m.size ||
            !demo::intactPayload(buf.data(), buf.size(), m.checksum)) {
            ++bad;
            continue;
        }
        auto r = ox::core::makeEvent(demo::kRecorderAddress | q.camera, OX_TYPE_VIDEO, OX_STORED_CLASS, buf.data(),
                                     m.size);
        r.requestId = requestId;
        r.seconds = m.seconds;
        r.milliseconds = m.milliseconds;
        r.frameKind = m.frameKind;
        demo::setMedia(r, {demo::kMediaMagic, q.camera, demo::kVideo, m.sequence, m.checksum, 0});
        // Waits until our previous result is released; refused once the search is cancelled.
        if (g_post(&r, nullptr) != OX_POST_ACCEPTED) {
            stopped = true;
            break;
        }
        ++posted;
    }
    if (!stopped) {
        // The end of the replay: a result without payload, which never waits.
        auto end = ox::core::makeEvent(demo::kRecorderAddress | q.camera, OX_TYPE_VIDEO, OX_STORED_CLASS);
        end.requestId = requestId;
        demo::setMedia(end, {demo::kMediaMagic, q.camera, demo::kVideo, 0, 0, 1});
        if (g_post(&end, nullptr) != OX_POST_ACCEPTED) stopped = true;
    }
    std::lock_guard lock(g_indexMutex);
    SearchFigures& s = g_searches[slot];
    s.posted = posted;
    s.badReads = bad;
    s.cancelled = stopped;
    s.finished = true;
}

std::string num(uint64_t v) { return std::to_string(v); }

void writeReport() {
    std::map<std::string, std::string> r;
    for (unsigned i = 0; i < demo::kCameras; ++i) {
        Writer const& w = g_writers[i];
        std::string const cam = "cam" + std::to_string(i + 1) + ".";
        r[cam + "video.recorded"] = num(w.frames[demo::kVideo]);
        r[cam + "audio.recorded"] = num(w.frames[demo::kAudio]);
        r[cam + "bytes"] = num(w.bytes);
        r[cam + "segments"] = num(w.segments);
        r[cam + "write_errors"] = num(w.writeErrors);
    }
    std::lock_guard lock(g_indexMutex);
    r["searches"] = num(g_searches.size());
    for (size_t i = 0; i < g_searches.size(); ++i) {
        SearchFigures const& s = g_searches[i];
        std::string const key = "search" + std::to_string(i + 1) + ".";
        char id[16];
        std::snprintf(id, sizeof id, "0x%08x", s.requestId);
        r[key + "request"] = id;
        r[key + "camera"] = num(s.camera);
        r[key + "available"] = num(s.available);
        r[key + "posted"] = num(s.posted);
        r[key + "bad_reads"] = num(s.badReads);
        r[key + "end"] = !s.finished ? "running" : s.cancelled ? "cancelled" : "complete";
    }
    if (!demo::writeReport("Recorder", r))
        demo::log(g_post, demo::kRecorderAddress, OX_LOG_WARNING, "cannot write demo-report/Recorder.txt");
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_retentionMs = demo::setting("demo.conf", "retention", 0) * 1000;
    out->address = demo::kRecorderAddress;
    out->video = OX_CONSUMES | OX_SEARCHABLE;
    out->audio = OX_CONSUMES;
    out->workerThread = 1;
    out->closePriority = kClosePriority;
    std::lock_guard lock(g_queueMutex);
    g_closing = g_drained = false;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    ::mkdir("rec", 0700);
    for (unsigned i = 1; i <= demo::kCameras; ++i) ::mkdir(camDir(i).c_str(), 0700);
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    std::unique_lock lock(g_queueMutex);
    g_closing = true;
    g_queueWake.notify_all();
    // The worker writes what it still holds; the report must count it.
    bool const drained = g_queueWake.wait_for(lock, std::chrono::seconds(20), [] { return g_drained; });
    lock.unlock();
    if (drained)
        writeReport();
    else
        demo::log(g_post, demo::kRecorderAddress, OX_LOG_WARNING, "worker did not drain; no report");
    return 0;
}

// Dispatcher thread: only queue the frame, the worker writes it.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    uint32_t const type = ox::core::typeOf(*e);
    if ((type != OX_TYPE_VIDEO && type != OX_TYPE_AUDIO) || !(e->flags & OX_LIVE_CLASS) || !e->data ||
        ox::core::pluginIdOf(e->source) != ox::core::pluginIdOf(demo::kCamSimAddress))
        return OX_EVENT_DONE;
    demo::MediaInfo const m = demo::mediaOf(*e);
    if (m.magic != demo::kMediaMagic || m.camera < 1 || m.camera > demo::kCameras) return OX_EVENT_DONE;
    std::lock_guard lock(g_queueMutex);
    if (g_closing) return OX_EVENT_DONE;
    g_kept.push_back(*e);
    g_queueWake.notify_all();
    return OX_EVENT_KEEP; // keep the payload: the worker releases it once it is on disk
}

OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult*) {
    if (in->code != OX_IOCTL_WORKER_THREAD) return 0;
    demo::nameThread("recorder");
    std::unique_lock lock(g_queueMutex);
    for (;;) {
        g_queueWake.wait(lock, [] { return g_closing || !g_kept.empty(); });
        if (g_kept.empty()) break; // closing, nothing held any more
        ox::core::EventParms const frame = g_kept.front();
        g_kept.pop_front();
        lock.unlock(); // never post or write under the queue lock
        record(frame);
        release(frame.data);
        lock.lock();
    }
    for (auto& w : g_writers) {
        w.segment.reset();
        w.index.reset();
    }
    g_drained = true;
    g_queueWake.notify_all();
    return 0;
}

OX_PLUGIN_EXPORT int OnSearch(AsyncEventRecord const* request) {
    demo::SearchQuery q;
    if (!request->data || !demo::parseQuery(request->data, request->dataLen, q) || q.camera < 1 ||
        q.camera > demo::kCameras)
        return 0;
    size_t slot;
    {
        std::lock_guard lock(g_indexMutex);
        slot = g_searches.size();
        SearchFigures s;
        s.requestId = request->requestId;
        s.camera = q.camera;
        g_searches.push_back(s);
    }
    replay(request->requestId, q, slot);
    return 0;
}
