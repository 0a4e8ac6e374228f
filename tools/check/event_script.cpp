#include "tools/check/event_script.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace check {

namespace {

constexpr uint32_t kNamed[] = {OX_TYPE_VIDEO,  OX_TYPE_AUDIO, OX_TYPE_ALARM, OX_TYPE_PTZ,
                               OX_TYPE_SERIAL, OX_TYPE_LOG,   OX_TYPE_CONFIG, OX_TYPE_POS,
                               OX_TYPE_ANALYTIC, OX_TYPE_WATCHDOG};

bool typeNamed(std::string const& name, uint32_t& type) {
    for (uint32_t t : kNamed)
        if (name == ox::core::typeName(t)) return type = t, true;
    return false;
}

/// The payload flag a type's records carry, as the shipped plugins post them.
uint32_t payloadFlag(uint32_t type, bool stored) {
    switch (type) {
    case OX_TYPE_ALARM:
    case OX_TYPE_PTZ:
    case OX_TYPE_CONFIG:
    case OX_TYPE_ANALYTIC: return ox::core::kXmlPayload;
    case OX_TYPE_SERIAL: return ox::core::kTextPayload;
    case OX_TYPE_LOG:
    case OX_TYPE_POS: return stored ? ox::core::kXmlPayload : ox::core::kTextPayload;
    default: return 0;
    }
}

bool number(std::string const& text, uint64_t max, uint32_t& out) {
    char* end = nullptr;
    unsigned long long const v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

bool readEventScript(std::filesystem::path const& file, std::vector<ScriptedEvent>& out, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = fmt::format("{}: cannot be read", file.string());
        return false;
    }
    std::string line;
    for (unsigned n = 1; std::getline(in, line); ++n) {
        auto bad = [&](std::string const& what) {
            error = fmt::format("{}:{}: {}", file.string(), n, what);
            return false;
        };
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t const first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;

        // The payload takes the rest of the line, blanks included.
        std::string payload;
        bool hasPayload = false;
        size_t at = std::string::npos;
        for (char const* tag : {" text:", " file:", "\ttext:", "\tfile:"}) at = std::min(at, line.find(tag));
        if (at != std::string::npos) {
            std::string const rest = line.substr(at + 6);
            if (line[at + 1] == 't') {
                payload = rest;
            } else {
                std::ifstream f(file.parent_path() / rest, std::ios::binary);
                if (!f) return bad(fmt::format("payload file {} cannot be read", rest));
                payload.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
            }
            hasPayload = true;
            line.erase(at);
        }

        std::istringstream words(line);
        std::string typeText, sourceText, word;
        words >> typeText >> sourceText;
        uint32_t type = 0, source = 0;
        if (!typeNamed(typeText, type)) return bad(fmt::format("unknown type '{}'", typeText));
        if (!number(sourceText, UINT32_MAX, source)) return bad("the second word must be the source address word");
        ScriptedEvent s;
        bool stored = false;
        uint32_t extraFlags = 0;
        auto& e = s.record;
        e = ox::core::makeEvent(source, type, 0);
        while (words >> word) {
            size_t const eq = word.find('=');
            std::string const key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
            uint32_t v = 0;
            if (key == "class" && (value == "live" || value == "stored")) {
                stored = value == "stored";
            } else if (key == "key" && number(value, 1, v)) {
                e.frameKind = v ? OX_KEY_FRAME : 0;
            } else if (key == "level" && number(value, 100, v)) {
                e.level = static_cast<int32_t>(v);
            } else if (key == "request" && number(value, UINT32_MAX, v)) {
                e.requestId = v;
            } else if (key == "flags" && number(value, 0x00FFFFFF, v)) {
                extraFlags = v;
            } else {
                return bad(fmt::format("'{}' is not class=live|stored, key=0|1, level=N, request=ID or flags=N", word));
            }
        }
        e.flags = (stored ? ox::core::kStoredClass : ox::core::kLiveClass) | payloadFlag(type, stored) | extraFlags;
        s.payload = std::move(payload);
        s.hasPayload = hasPayload;
        out.push_back(std::move(s));
    }
    return true;
}

} // namespace check
