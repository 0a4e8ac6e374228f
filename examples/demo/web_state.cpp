// What the page polls: the recording per camera (read from the recorder's
// index as it grows), the alarms, the core's status document and summary,
// the payload references each plugin holds, and records a second.
#include "web_server.h"

#include <cstdio>
#include <regex>

namespace demo {
namespace {

constexpr size_t kAlarmsKept = 200;
constexpr size_t kRatesKept = 300;       // five minutes of seconds
constexpr size_t kSpansKept = 2000;      // per camera; the oldest merge into one when there are more
constexpr uint64_t kSpanGapMs = 1500;    // recorded frames further apart than this start a new span
constexpr size_t kIndexReadLimit = 1 << 20; // of new index entries per poll

std::string quoted(std::string const& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string hexId(unsigned id) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", id & 0xFF);
    return b;
}

/// Attributes of every element named `name` in a small trusted document.
std::vector<std::map<std::string, std::string>> elements(std::string const& xml, std::string const& name) {
    std::vector<std::map<std::string, std::string>> out;
    std::regex const tag("<" + name + R"(\b([^>]*)>)");
    std::regex const attr(R"(([A-Za-z_][\w.-]*)\s*=\s*"([^"]*)\")");
    for (std::sregex_iterator t(xml.begin(), xml.end(), tag), end; t != end; ++t) {
        std::string const body = (*t)[1];
        std::map<std::string, std::string> a;
        for (std::sregex_iterator i(body.begin(), body.end(), attr); i != end; ++i) a[(*i)[1]] = (*i)[2];
        out.push_back(std::move(a));
    }
    return out;
}

unsigned idOfDecimal(std::string const& text) {
    long long const v = std::strtoll(text.c_str(), nullptr, 10);
    return ox::core::pluginIdOf(static_cast<uint32_t>(v));
}

} // namespace

void WebServer::alarm(AlarmNote note) {
    note.seq = ++alarmsSeen_;
    alarms_.push_back(std::move(note));
    if (alarms_.size() > kAlarmsKept) alarms_.pop_front();
}

void WebServer::configDocument(std::string xml) {
    // The core's own entries: one Plugin element for itself and each plugin.
    std::string list = "[";
    for (auto const& a : elements(xml, "Plugin")) {
        auto get = [&](char const* k) {
            auto const i = a.find(k);
            return i == a.end() ? std::string() : i->second;
        };
        if (list.size() > 1) list += ',';
        unsigned const id = idOfDecimal(get("ID"));
        list += "{\"id\":" + quoted(hexId(id)) + ",\"pid\":" + std::to_string(id) + ",\"file\":" + quoted(get("Filename")) +
                ",\"openCode\":" + quoted(get("OpenCode")) + ",\"loadMs\":" + quoted(get("LoadTimeMs")) +
                ",\"openMs\":" + quoted(get("OpenTimeMs")) + ",\"logLevel\":" + quoted(get("LogLevel")) + "}";
    }
    plugins_ = list + "]";
}

void WebServer::coreSummary(std::string text) {
    summary_ = std::move(text);
    summaryMs_ = nowMs();
}

void WebServer::recordsPerSecond(uint32_t count) {
    rates_.push_back(count);
    if (rates_.size() > kRatesKept) rates_.pop_front();
}

void WebServer::readIndex(unsigned camera) {
    std::string const path = "rec/cam" + std::to_string(camera) + "/index.bin";
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    auto& read = indexRead_[camera - 1];
    auto& spans = recorded_[camera - 1];
    if (std::fseek(f, static_cast<long>(read), SEEK_SET) == 0) {
        IndexEntry e;
        size_t taken = 0;
        // Whole entries only: the recorder may be writing the next one.
        while (taken < kIndexReadLimit && std::fread(&e, sizeof e, 1, f) == 1) {
            read += sizeof e;
            taken += sizeof e;
            if (e.stream != kVideo) continue;
            uint64_t const t = timeMs(e);
            if (!spans.empty() && t >= spans.back().to && t - spans.back().to <= kSpanGapMs)
                spans.back().to = t;
            else
                spans.push_back({t, t});
        }
    }
    std::fclose(f);
    if (spans.size() > kSpansKept) {
        spans[1].from = spans[0].from;
        spans.erase(spans.begin());
    }
}

std::map<std::string, std::string> WebServer::figures() const {
    std::map<std::string, std::string> r;
    for (unsigned c = 1; c <= kCameras; ++c) {
        uint64_t sent = liveSent_[c - 1];
        for (auto const& s : live_[c - 1]) sent += s->sent();
        std::string const cam = "cam" + std::to_string(c) + ".";
        r[cam + "live.frames"] = std::to_string(liveFrames_[c - 1]);
        r[cam + "live.sent"] = std::to_string(sent);
    }
    r["playback.started"] = std::to_string(playbacksStarted_);
    r["playback.complete"] = std::to_string(playbacksComplete_);
    r["playback.cancelled"] = std::to_string(playbacksCancelled_);
    r["playback.frames"] = std::to_string(playbackFrames_);
    r["alarms"] = std::to_string(alarmsSeen_);
    for (auto const& [status, n] : answers_) r["http." + std::to_string(status)] = std::to_string(n);
    return r;
}

std::string WebServer::stateJson() {
    std::string j = "{\"now\":" + std::to_string(nowMs()) + ",\"cameras\":[";
    for (unsigned c = 1; c <= kCameras; ++c) {
        readIndex(c);
        uint64_t sent = liveSent_[c - 1];
        for (auto const& s : live_[c - 1]) sent += s->sent();
        if (c > 1) j += ',';
        j += "{\"camera\":" + std::to_string(c) + ",\"liveFrames\":" + std::to_string(liveFrames_[c - 1]) +
             ",\"viewers\":" + std::to_string(live_[c - 1].size()) + ",\"sent\":" + std::to_string(sent) + ",\"spans\":[";
        bool first = true;
        for (auto const& s : recorded_[c - 1]) {
            j += (first ? "[" : ",[") + std::to_string(s.from) + "," + std::to_string(s.to) + "]";
            first = false;
        }
        j += "]}";
    }
    j += "],\"alarms\":[";
    bool first = true;
    for (auto const& a : alarms_) {
        j += (first ? "{" : ",{");
        j += "\"seq\":" + std::to_string(a.seq) + ",\"ms\":" + std::to_string(a.ms) + ",\"camera\":" + std::to_string(a.camera) + ",\"from\":" +
             quoted(hexId(a.from)) + ",\"kind\":" + quoted(a.kind) + ",\"state\":" + std::to_string(a.state) + "}";
        first = false;
    }
    j += "],\"alarmsSeen\":" + std::to_string(alarmsSeen_);
    j += ",\"plugins\":" + (plugins_.empty() ? std::string("[]") : plugins_);
    j += ",\"refs\":{";
    first = true;
    for (unsigned id = 0; id < 256; ++id) {
        uint32_t const n = hooks_.refs(id);
        if (n == 0) continue;
        j += (first ? "" : ",") + quoted(hexId(id)) + ":" + std::to_string(n);
        first = false;
    }
    auto const [blocks, bytes] = hooks_.blocks();
    j += "},\"blocks\":" + std::to_string(blocks) + ",\"blockBytes\":" + std::to_string(bytes);
    j += ",\"summary\":" + quoted(summary_) + ",\"summaryMs\":" + std::to_string(summaryMs_);
    j += ",\"playback\":{\"active\":" + std::to_string(playbacks_.size()) + ",\"started\":" +
         std::to_string(playbacksStarted_) + ",\"cancelled\":" + std::to_string(playbacksCancelled_) +
         ",\"frames\":" + std::to_string(playbackFrames_) + "}";
    j += ",\"rates\":[";
    first = true;
    for (uint32_t r : rates_) {
        j += (first ? "" : ",") + std::to_string(r);
        first = false;
    }
    return j + "]}";
}

} // namespace demo
