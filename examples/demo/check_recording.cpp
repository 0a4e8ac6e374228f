// demo-check: reads the recorder's files back in a demo working directory and
// says whether they hold every frame the recorder reports recorded, in order:
// per camera, index entries with sequences 0, 1, 2... per stream, time never
// going back, frames packed back to back in their segments, and every frame
// read from its segment intact and matching its entry (video: a whole JPEG
// picture). Also sets the motion detector's alarms against the windows in
// which the cameras' scenes moved. Prints key=value lines; exit status 0
// when the recording holds, 1 otherwise (the alarm figures are for the
// report to judge).
//   demo-check [WORKING-DIRECTORY]
#include "demo_common.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include <sys/stat.h>

namespace {

std::map<std::string, std::string> readReport(std::string const& path) {
    std::map<std::string, std::string> r;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos) r[line.substr(0, eq)] = line.substr(eq + 1);
    return r;
}

long long fileSize(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

/// Checks one camera; returns the first fault, empty when there is none.
std::string checkCamera(std::string const& dir, unsigned cam, uint64_t const recorded[2], uint64_t& frames,
                        uint64_t& bytes, uint32_t& segments) {
    std::string const camDir = dir + "/rec/cam" + std::to_string(cam);
    std::ifstream index(camDir + "/index.bin", std::ios::binary);
    if (!index) return "no index";
    std::vector<demo::IndexEntry> entries;
    for (demo::IndexEntry e; index.read(reinterpret_cast<char*>(&e), sizeof e);) entries.push_back(e);
    if (index.gcount() != 0) return "index ends inside an entry";

    uint32_t next[2] = {0, 0};
    uint64_t lastMs = 0;
    uint32_t segment = 0, offset = 0;
    std::ifstream seg;
    std::vector<char> buf;
    for (size_t i = 0; i < entries.size(); ++i) {
        demo::IndexEntry const& e = entries[i];
        std::string const at = "entry " + std::to_string(i) + ": ";
        if (e.stream > demo::kAudio) return at + "unknown stream";
        if (e.sequence != next[e.stream]) return at + "sequence " + std::to_string(e.sequence) + " where " +
                                                 std::to_string(next[e.stream]) + " was due";
        ++next[e.stream];
        if (demo::timeMs(e) < lastMs) return at + "time goes back";
        lastMs = demo::timeMs(e);
        if (i == 0 || e.segment != segment) {
            if (i != 0 && e.segment != segment + 1) return at + "segment skipped";
            if (i != 0 && fileSize(camDir + "/seg-" + std::to_string(segment) + ".bin") != offset)
                return "segment " + std::to_string(segment) + " holds bytes no entry names";
            segment = e.segment;
            offset = 0;
            seg.close();
            seg.open(camDir + "/seg-" + std::to_string(segment) + ".bin", std::ios::binary);
            if (!seg) return at + "segment missing";
        }
        if (e.offset != offset) return at + "gap or overlap in the segment";
        buf.resize(e.size);
        if (!seg.seekg(e.offset).read(buf.data(), e.size)) return at + "frame beyond the segment's end";
        if (!demo::intactPayload(buf.data(), e.size, e.checksum)) return at + "frame and entry disagree";
        if (e.stream == demo::kVideo && !demo::looksLikeJpeg(buf.data(), e.size)) return at + "not a whole JPEG picture";
        offset += e.size;
        bytes += e.size;
    }
    if (!entries.empty() && fileSize(camDir + "/seg-" + std::to_string(segment) + ".bin") != offset)
        return "last segment holds bytes no entry names";
    frames = entries.size();
    segments = entries.empty() ? 0 : segment + 1;
    for (int s = 0; s < 2; ++s)
        if (next[s] != recorded[s])
            return std::to_string(next[s]) + (s == demo::kVideo ? " video" : " audio") + " frames on disk, " +
                   std::to_string(recorded[s]) + " reported recorded";
    return {};
}

std::vector<uint64_t> numbers(std::string const& text, char sep) {
    std::vector<uint64_t> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, sep);)
        if (!item.empty() && item != "none") out.push_back(std::stoull(item));
    return out;
}

// A detector that skips frames may see the last movement a frame late.
constexpr uint64_t kAlarmLateMs = 1000;
// Shorter windows (cut by the end of the run) need not have raised one.
constexpr uint64_t kShortestWindowMs = 500;

/// Motion windows (CamSim) against raised alarms (MotionAlarm) of one camera.
void checkAlarms(std::string const& dir, unsigned cam) {
    std::string const key = "cam" + std::to_string(cam) + ".";
    auto const cams = readReport(dir + "/demo-report/CamSim.txt");
    auto const detector = readReport(dir + "/demo-report/MotionAlarm.txt");
    auto const w = cams.find(key + "motion");
    auto const a = detector.find(key + "alarm_times");
    if (w == cams.end() || a == detector.end()) {
        std::printf("%salarms.fault=no report\n", key.c_str());
        return;
    }
    std::vector<std::pair<uint64_t, uint64_t>> windows;
    try {
        std::stringstream in(w->second);
        for (std::string item; std::getline(in, item, ';');)
            if (auto dash = item.find('-'); dash != std::string::npos)
                windows.emplace_back(std::stoull(item.substr(0, dash)), std::stoull(item.substr(dash + 1)));
        auto const alarms = numbers(a->second, ',');
        unsigned long long counted = 0, alarmed = 0, outside = 0;
        for (auto const& [from, to] : windows) {
            if (to - from < kShortestWindowMs) continue;
            ++counted;
            alarmed += std::any_of(alarms.begin(), alarms.end(), [&](uint64_t t) { return t >= from && t <= to + kAlarmLateMs; });
        }
        for (uint64_t t : alarms)
            outside += std::none_of(windows.begin(), windows.end(),
                                    [&](auto const& x) { return t >= x.first && t <= x.second + kAlarmLateMs; });
        std::printf("%smotion_windows=%llu\n%swindows_alarmed=%llu\n%salarms=%zu\n%salarms_outside=%llu\n", key.c_str(),
                    counted, key.c_str(), alarmed, key.c_str(), alarms.size(), key.c_str(), outside);
    } catch (std::exception const&) {
        std::printf("%salarms.fault=report unreadable\n", key.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string const dir = argc > 1 ? argv[1] : ".";
    auto const report = readReport(dir + "/demo-report/Recorder.txt");
    if (report.empty()) {
        std::printf("verdict=no recorder report\n");
        return 1;
    }
    bool ok = true;
    for (unsigned cam = 1; cam <= demo::kCameras; ++cam) {
        std::string const key = "cam" + std::to_string(cam) + ".";
        uint64_t recorded[2] = {0, 0};
        try {
            recorded[demo::kVideo] = std::stoull(report.at(key + "video.recorded"));
            recorded[demo::kAudio] = std::stoull(report.at(key + "audio.recorded"));
        } catch (std::exception const&) {
            std::printf("%sfault=recorder report incomplete\n", key.c_str());
            ok = false;
            continue;
        }
        uint64_t frames = 0, bytes = 0;
        uint32_t segments = 0;
        std::string const fault = checkCamera(dir, cam, recorded, frames, bytes, segments);
        std::printf("%sframes=%llu\n%sbytes=%llu\n%ssegments=%u\n%sfault=%s\n", key.c_str(),
                    static_cast<unsigned long long>(frames), key.c_str(), static_cast<unsigned long long>(bytes),
                    key.c_str(), segments, key.c_str(), fault.empty() ? "none" : fault.c_str());
        ok = ok && fault.empty();
    }
    for (unsigned cam = 1; cam <= demo::kCameras; ++cam) checkAlarms(dir, cam);
    std::printf("verdict=%s\n", ok ? "every recorded frame on disk, in order" : "recording damaged");
    return ok ? 0 : 1;
}
