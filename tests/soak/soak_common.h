// What the soak's plugins (Chaos, Tally) and scripts/soak agree on: their
// addresses, the tag every storm record carries and the report files.
#pragma once

#include "demo_common.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace soak {

constexpr uint32_t kChaosAddress = 0x00440000u;
constexpr uint32_t kTallyAddress = 0x00450000u;
constexpr unsigned kStormThreads = 3;

// The kinds a storm posts, in report order. The first seven have consumers;
// the rest are delivered to nobody (watchdog goes back only to its poster,
// which does not count it), so any delivery of them is a fault.
struct Kind {
    char const* name;
    uint32_t type;
};
constexpr Kind kKinds[] = {
    {"video", OX_TYPE_VIDEO}, {"audio", OX_TYPE_AUDIO},   {"alarm", OX_TYPE_ALARM},
    {"ptz", OX_TYPE_PTZ},     {"serial", OX_TYPE_SERIAL}, {"pos", OX_TYPE_POS},
    {"analytic", OX_TYPE_ANALYTIC}, {"unspecified", OX_TYPE_UNSPECIFIED}, {"unknown", 0x20000u},
};
constexpr unsigned kKindCount = sizeof kKinds / sizeof kKinds[0];

inline int kindIndex(uint32_t type) {
    for (unsigned i = 0; i < kKindCount; ++i)
        if (kKinds[i].type == type) return static_cast<int>(i);
    return -1;
}

// At typed[0] of every storm record: who posted it and what its payload holds.
struct Tag {
    uint32_t magic;    // kTagMagic
    uint32_t thread;   // storm thread, 0..kStormThreads-1
    uint32_t sequence; // per storm thread, from 0
    uint32_t kind;     // index into kKinds
    uint32_t size;     // payload length
    uint32_t check;    // sampleCheck of the payload
};
constexpr uint32_t kTagMagic = 0x534F4B31u; // "1KOS"

inline Tag tagOf(ox_EventParms const& e) {
    Tag t;
    std::memcpy(&t, e.typed, sizeof t);
    return t;
}

/// Payload byte i of storm record `sequence`.
inline char fill(uint32_t sequence, size_t i) { return static_cast<char>((sequence * 131u + i * 7u) >> 3); }

/// A check over at most ~600 bytes spread over the payload: large payloads are
/// checked in microseconds, and a shifted, truncated or reused buffer still shows.
inline uint32_t sampleCheck(char const* p, size_t n) {
    uint32_t h = 2166136261u;
    size_t const step = n > 512 ? n / 512 : 1;
    for (size_t i = 0; i < n; i += step) h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
    if (n) h = (h ^ static_cast<unsigned char>(p[n - 1])) * 16777619u;
    return h;
}

/// Order-independent fingerprint of a set of (thread, sequence) pairs: equal
/// counts and equal sums of this mix mean the same records, in practice.
inline uint64_t mix(uint32_t thread, uint32_t sequence) {
    uint64_t x = (uint64_t{thread} << 32 | sequence) + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

/// What one consumer or the poster counts, per kind.
struct KindCount {
    uint64_t count = 0;
    uint64_t fingerprint = 0;
};


/// What one consumer got from the storms, checked against each record's tag.
/// One thread only (the dispatcher's).
class Receipts {
public:
    void take(ox_EventParms const& e) {
        Tag const t = tagOf(e);
        int const kind = kindIndex(ox::core::typeOf(e));
        if (t.thread >= kStormThreads || kind < 0 || static_cast<uint32_t>(kind) != t.kind || t.size != e.dataLen ||
            (e.dataLen && !e.data) || sampleCheck(e.data, e.dataLen) != t.check) {
            ++corrupt;
            return;
        }
        // One queue delivers a poster's records in order: a repeat or a reordering shows here.
        if (any_[t.thread] && t.sequence <= last_[t.thread]) ++outOfOrder;
        any_[t.thread] = true;
        last_[t.thread] = t.sequence;
        ++got[kind].count;
        got[kind].fingerprint += mix(t.thread, t.sequence);
    }

    KindCount got[kKindCount];
    uint64_t outOfOrder = 0, corrupt = 0;

private:
    uint32_t last_[kStormThreads] = {};
    bool any_[kStormThreads] = {};
};

/// soak.conf in the working directory (scripts/soak): key=value lines.
inline unsigned long setting(char const* key, unsigned long fallback) { return demo::setting("soak.conf", key, fallback); }

/// soak-report/<name>.txt, key=value lines as the demo's reports.
inline bool writeReport(char const* name, std::map<std::string, std::string> const& values) {
    return demo::writeReport(name, values, "soak-report");
}

inline std::string num(uint64_t v) { return std::to_string(v); }

} // namespace soak
