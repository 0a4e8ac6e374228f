#include "tools/check/report.h"

#include "dvrcore/plugin_interface.h"

#include <fmt/format.h>

#include <cstdlib>
#include <unistd.h>

namespace check {

char const* const kWordNames[8] = {"video", "audio", "alarm", "ptz", "serial", "log", "pos", "analytic"};
uint32_t const kWordTypes[8] = {OX_TYPE_VIDEO, OX_TYPE_AUDIO,  OX_TYPE_ALARM, OX_TYPE_PTZ,
                                OX_TYPE_SERIAL, OX_TYPE_LOG, OX_TYPE_POS, OX_TYPE_ANALYTIC};

namespace {

// Wire lines: a tag, then tab-separated fields with \\, \t, \n and \r escaped.
constexpr size_t kMaxText = 2000; // a line stays well below PIPE_BUF

std::string escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s.substr(0, kMaxText)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char const c = s[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::vector<std::string> fields(std::string_view line) {
    std::vector<std::string> f;
    for (;;) {
        size_t const tab = line.find('\t');
        f.push_back(unescape(line.substr(0, tab)));
        if (tab == std::string_view::npos) return f;
        line.remove_prefix(tab + 1);
    }
}

int64_t num(std::vector<std::string> const& f, size_t i) {
    return i < f.size() ? std::strtoll(f[i].c_str(), nullptr, 10) : 0;
}
std::string text(std::vector<std::string> const& f, size_t i) { return i < f.size() ? f[i] : std::string(); }

CallResult callResult(std::vector<std::string> const& f) {
    return CallResult{static_cast<int32_t>(num(f, 1)), num(f, 2), text(f, 3)};
}

} // namespace

void ReportWriter::line(std::string text) {
    text += '\n';
    ssize_t const n = ::write(fd_, text.data(), text.size());
    (void)n; // a parent that is gone has nobody left to tell
}

void ReportWriter::declaration(Declaration const& d) {
    std::string s = fmt::format("D\t{}", d.address);
    for (uint32_t w : d.words) s += fmt::format("\t{}", w);
    s += fmt::format("\t{}\t{}\t{}\t{}\t{}\t{}", d.closePriority, int(d.workerThread), int(d.asyncReader),
                     int(d.writeEvents), d.infoSize, d.infoVersion);
    line(std::move(s));
}
void ReportWriter::load(CallResult const& r) { line(fmt::format("L\t{}\t{}\t{}", r.code, r.timeNs, escape(r.error))); }
void ReportWriter::open(CallResult const& r) { line(fmt::format("O\t{}\t{}\t{}", r.code, r.timeNs, escape(r.error))); }
void ReportWriter::entry(std::string_view name, bool exported) { line(fmt::format("E\t{}\t{}", name, int(exported))); }
void ReportWriter::count(std::string_view name, uint64_t value) { line(fmt::format("C\t{}\t{}", escape(name), value)); }
void ReportWriter::log(int32_t level, std::string_view text) { line(fmt::format("G\t{}\t{}", level, escape(text))); }
void ReportWriter::stopRequested() { line("S"); }
void ReportWriter::fault(std::string_view text) { line(fmt::format("F\t{}", escape(text))); }
void ReportWriter::warning(std::string_view text) { line(fmt::format("W\t{}", escape(text))); }
void ReportWriter::phase(uint32_t limitMs, std::string_view what) {
    line(fmt::format("P\t{}\t{}", limitMs, escape(what)));
}
void ReportWriter::finished() { line("Z"); }

std::optional<uint32_t> applyLine(Report& r, std::string_view line) {
    if (line.empty()) return std::nullopt;
    auto const f = fields(line);
    switch (f[0].empty() ? '\0' : f[0][0]) {
    case 'D': {
        Declaration d;
        d.address = static_cast<uint32_t>(num(f, 1));
        for (size_t i = 0; i < 8; ++i) d.words[i] = static_cast<uint32_t>(num(f, 2 + i));
        d.closePriority = static_cast<uint32_t>(num(f, 10));
        d.workerThread = num(f, 11) != 0;
        d.asyncReader = num(f, 12) != 0;
        d.writeEvents = num(f, 13) != 0;
        d.infoSize = static_cast<uint32_t>(num(f, 14));
        d.infoVersion = static_cast<uint32_t>(num(f, 15));
        r.declaration = d;
        break;
    }
    case 'L': r.load = callResult(f); break;
    case 'O': r.open = callResult(f); break;
    case 'E': r.entries.emplace_back(text(f, 1), num(f, 2) != 0); break;
    case 'C': {
        auto const name = text(f, 1);
        auto const value = static_cast<uint64_t>(num(f, 2));
        bool found = false;
        for (auto& [n, v] : r.counts)
            if (n == name) v = value, found = true;
        if (!found) r.counts.emplace_back(name, value);
        break;
    }
    case 'G': r.log.emplace_back(static_cast<int32_t>(num(f, 1)), text(f, 2)); break;
    case 'S': r.stopRequested = true; break;
    case 'F': {
        auto const t = text(f, 1);
        bool seen = false;
        for (auto const& known : r.faults) seen = seen || known == t;
        if (!seen) r.faults.push_back(t);
        break;
    }
    case 'W': r.warnings.push_back(text(f, 1)); break;
    case 'P':
        r.phase = text(f, 2);
        return static_cast<uint32_t>(num(f, 1));
    case 'Z': r.finished = true; break;
    default: break;
    }
    return std::nullopt;
}

namespace {

std::string decoded(Declaration const& d, uint32_t bit) {
    std::string s;
    for (size_t i = 0; i < 8; ++i)
        if (d.words[i] & bit) s += (s.empty() ? "" : ", ") + std::string(kWordNames[i]);
    return s.empty() ? "none" : s;
}

std::string callLine(char const* what, CallResult const& c) {
    double const msec = static_cast<double>(c.timeNs) / 1e6;
    std::string s = msec < 1 ? fmt::format("{}: code {} in {:.2f} us", what, c.code, msec * 1000)
                             : fmt::format("{}: code {} in {:.1f} ms", what, c.code, msec);
    if (!c.error.empty()) s += ": " + c.error;
    return s + "\n";
}

/// One line per entry in the text form: embedded line breaks stay visible.
std::string oneLine(std::string_view s) {
    std::string out;
    for (char c : s) out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    return out;
}

char const* yesNo(bool b) { return b ? "yes" : "no"; }

std::string verdictText(Report const& r) {
    if (r.faults.empty()) return "clean";
    return fmt::format("{} fault{}", r.faults.size(), r.faults.size() == 1 ? "" : "s");
}

} // namespace

std::string renderText(Report const& r) {
    std::string s = "plugin: " + r.plugin + "\n";
    if (r.load) s += callLine("load", *r.load);
    if (auto const& d = r.declaration) {
        s += fmt::format("address: 0x{:08x} (plugin id {:02x})\n", d->address, ox::core::pluginIdOf(d->address));
        s += "consumes: " + decoded(*d, OX_CONSUMES) + "\n";
        s += "searches: " + decoded(*d, OX_SEARCHABLE) + "\n";
        s += fmt::format("close priority: {}\n", d->closePriority);
        s += fmt::format("threads: worker {}, reader {}; events through Write: {}\n", yesNo(d->workerThread),
                         yesNo(d->asyncReader), yesNo(d->writeEvents));
        s += fmt::format("records: PluginInfo {}/{} after Load; LoadParams {}/{}; event {}/{}\n", d->infoSize,
                         d->infoVersion, sizeof(LoadParams), OX_LOAD_PARAMS_VERSION, sizeof(ox::core::EventParms), OX_EVENT_RECORD_VERSION);
    }
    if (r.open) s += callLine("open", *r.open);
    if (!r.entries.empty()) {
        std::string names;
        for (auto const& [name, exported] : r.entries)
            if (exported) names += (names.empty() ? "" : " ") + name;
        s += "entry points: " + (names.empty() ? std::string("none") : names) + "\n";
    }
    if (!r.counts.empty()) {
        std::string c;
        for (auto const& [name, value] : r.counts) c += fmt::format("{}{} {}", c.empty() ? "" : ", ", name, value);
        s += "counts: " + c + "\n";
    }
    for (auto const& [level, t] : r.log) s += fmt::format("log {}: {}\n", level, oneLine(t));
    if (r.stopRequested) s += "stop: the plugin asked the core to stop\n";
    for (auto const& w : r.warnings) s += "warning: " + oneLine(w) + "\n";
    for (auto const& f : r.faults) s += "fault: " + oneLine(f) + "\n";
    return s + "verdict: " + verdictText(r) + "\n";
}

namespace {

/// A JSON string; bytes that are not UTF-8 become U+FFFD.
std::string js(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        auto const c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += fmt::format("\\u{:04x}", c);
        } else if (c >= 0x80) {
            size_t const n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool ok = n != 0 && i + n <= s.size();
            for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
            if (!ok) {
                out += "\\ufffd";
                ++i;
                continue;
            }
            out.append(s.substr(i, n));
            i += n;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

char const* jb(bool b) { return b ? "true" : "false"; }

std::string jsCall(CallResult const& c) {
    return fmt::format("{{\"code\":{},\"timeNs\":{},\"error\":{}}}", c.code, c.timeNs, js(c.error));
}

} // namespace

std::string renderJson(Report const& r) {
    std::string s = "{\"plugin\":" + js(r.plugin);
    if (r.load) s += ",\"load\":" + jsCall(*r.load);
    if (r.open) s += ",\"open\":" + jsCall(*r.open);
    if (auto const& d = r.declaration) {
        // The plugin id as people read it everywhere: two hex digits.
        s += fmt::format(",\"declaration\":{{\"address\":{},\"pluginId\":\"{:02x}\",\"typeWords\":{{", d->address,
                         ox::core::pluginIdOf(d->address));
        for (size_t i = 0; i < 8; ++i)
            s += fmt::format("{}\"{}\":{{\"word\":{},\"consumes\":{},\"searchable\":{}}}", i ? "," : "", kWordNames[i],
                             d->words[i], jb(d->words[i] & OX_CONSUMES), jb(d->words[i] & OX_SEARCHABLE));
        s += fmt::format("}},\"closePriority\":{},\"workerThread\":{},\"asyncReader\":{},\"writeEvents\":{},"
                         "\"infoSize\":{},\"infoVersion\":{}}}",
                         d->closePriority, jb(d->workerThread), jb(d->asyncReader), jb(d->writeEvents), d->infoSize,
                         d->infoVersion);
    }
    s += ",\"entryPoints\":{";
    for (size_t i = 0; i < r.entries.size(); ++i)
        s += fmt::format("{}{}:{}", i ? "," : "", js(r.entries[i].first), jb(r.entries[i].second));
    s += "},\"counts\":{";
    for (size_t i = 0; i < r.counts.size(); ++i)
        s += fmt::format("{}{}:{}", i ? "," : "", js(r.counts[i].first), r.counts[i].second);
    s += "},\"log\":[";
    for (size_t i = 0; i < r.log.size(); ++i)
        s += fmt::format("{}{{\"level\":{},\"text\":{}}}", i ? "," : "", r.log[i].first, js(r.log[i].second));
    s += fmt::format("],\"stopRequested\":{},\"warnings\":[", jb(r.stopRequested));
    for (size_t i = 0; i < r.warnings.size(); ++i) s += (i ? "," : "") + js(r.warnings[i]);
    s += "],\"faults\":[";
    for (size_t i = 0; i < r.faults.size(); ++i) s += (i ? "," : "") + js(r.faults[i]);
    return s + fmt::format("],\"verdict\":{}}}\n", js(r.faults.empty() ? "clean" : "faulty"));
}

} // namespace check
