// Chaos: a plugin that does at once everything plugins do to the core, and
// the mistakes buggy ones make. Three storm threads post every kind and
// class of event with payloads of 0 to 2 MiB in bursts; a mischief thread
// searches and cancels, talks to the parent, posts configuration deltas
// good and malformed, crypto records with hostile fields, logs at every
// severity and makes a plugin's mistakes, each of which must be refused;
// a releaser thread gives back the payloads OnEvent kept, late. Three kept
// payloads are never given back, on purpose. With hoard=1 in soak.conf it
// also consumes video and audio and keeps every payload it is offered.
// Everything it counts goes to soak-report/Chaos.txt when it is closed.
#include "soak_common.h"

#include <dvrcore/crypto_event.h>
#include <dvrcore/ipc_packet.h>
#include <dvrcore/process_info.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kClosePriority = 300; // first: its storms end before the others close
constexpr uint32_t kSearchSource = 0x00000001u; // plugin id 0, not the core: a search request
constexpr uint32_t kIpcType = 0x4401u;
constexpr size_t kMaxPayload = 2u << 20;
// A few times what a steady run has alive (about 500 blocks, 8 MiB): when the
// machine stalls the core, the storms wait instead of piling up payloads
// whose high-water mark the allocator would keep, which reads as growth.
constexpr uint32_t kBackoffBlocks = 2000;        // payloads alive before a storm pauses
constexpr uint32_t kBackoffBytes = 24u << 20;    // payload bytes alive before a storm pauses
constexpr size_t kMaxPendingIpc = 64;
constexpr unsigned kForever = 3;                 // payloads kept until the core exits
constexpr uint32_t kMaxKeptLate = 256u << 10;

ox_EventCallback g_post = nullptr; // from Load; any thread until Unload returns
bool g_hoard = false;              // set in Load
unsigned long g_seed = 1;          // set in Load

std::atomic<bool> g_stop{false};
std::vector<std::thread> g_threads; // main thread only (Open, Close)

// Storm threads: each writes only its own slot; read once they are joined.
struct StormCounts {
    soak::KindCount sent[soak::kKindCount];
    uint64_t dropped[soak::kKindCount] = {};
    uint64_t refused[soak::kKindCount] = {};
    uint64_t storedPosted = 0, storedAccepted = 0, backoffs = 0;
};
StormCounts g_storm[soak::kStormThreads];

// Dispatcher thread only (OnEvent); read in Close.
struct Received {
    soak::Receipts storms;
    uint64_t coreAlarms = 0;
    uint64_t results = 0, ends = 0, badResults = 0;
    uint64_t earlyReleases = 0, secondRefused = 0, releaseFaults = 0, watchdogs = 0;
};
Received g_in;

struct Kept {
    char* data;
    Clock::time_point due;
};
std::mutex g_keepMutex;
std::condition_variable g_keepWake;
std::deque<Kept> g_kept;         // under g_keepMutex: to be released by the releaser thread
std::vector<char*> g_forever;    // under g_keepMutex: never released
std::vector<char*> g_hoarded;    // under g_keepMutex: hoard mode, never released
std::atomic<uint32_t> g_hoardBlocks{0}, g_hoardBytes{0}; // what of the core's accounting the hoard holds
uint64_t g_keptCount = 0;        // under g_keepMutex

// Mischief and releaser threads: each its own counters, read once joined.
std::map<std::string, uint64_t> g_mischief;
std::map<std::string, uint64_t> g_releaser;
std::string g_firstFault; // mischief thread: the first unexpected answer

std::mutex g_ipcMutex;
std::set<std::string> g_pendingIpc; // under g_ipcMutex: bodies sent, not yet answered
uint64_t g_ipcAnswered = 0, g_ipcUnknown = 0; // under g_ipcMutex

int post(ox_EventParms& e) { return g_post(&e, nullptr); }

void sleepFor(std::chrono::microseconds d) {
    auto const end = Clock::now() + d;
    while (!g_stop.load() && Clock::now() < end) std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), 20ms));
}

size_t payloadSize(std::mt19937& rng) {
    unsigned const r = rng() % 1000;
    if (r < 600) return rng() % 257;
    if (r < 900) return 256 + rng() % (16 << 10);
    if (r < 985) return (16 << 10) + rng() % (240 << 10);
    return (256 << 10) + rng() % (kMaxPayload - (256 << 10) + 1);
}

unsigned pickKind(std::mt19937& rng) {
    static constexpr unsigned weights[soak::kKindCount] = {22, 16, 10, 8, 8, 8, 8, 3, 3};
    unsigned r = rng() % 86;
    for (unsigned i = 0; i < soak::kKindCount; ++i) {
        if (r < weights[i]) return i;
        r -= weights[i];
    }
    return 0;
}

void storm(unsigned thread) {
    std::mt19937 rng(static_cast<uint32_t>(g_seed * 7919 + thread));
    std::vector<char> buf(kMaxPayload);
    StormCounts& c = g_storm[thread];
    uint32_t sequence = 0;
    // rate=N in soak.conf: N posts a second on average, in bursts; 0 is as
    // fast as the core takes them. A fixed rate keeps the payloads in flight
    // the same from start to end, whatever else the machine does.
    unsigned long const rate = soak::setting("rate", 0);
    auto const start = Clock::now();
    while (!g_stop.load()) {
        unsigned const burst = 20 + rng() % 400;
        for (unsigned b = 0; b < burst && !g_stop.load(); ++b) {
            // Paced by what waits for delivery, not by what a hoard holds.
            if (oxmem::stats.blocks.load() - g_hoardBlocks.load() > kBackoffBlocks ||
                oxmem::stats.bytes.load() - g_hoardBytes.load() > kBackoffBytes) {
                ++c.backoffs;
                std::this_thread::sleep_for(1ms);
                continue;
            }
            unsigned const kind = pickKind(rng);
            uint32_t type = soak::kKinds[kind].type;
            if ((type == OX_TYPE_VIDEO || type == OX_TYPE_AUDIO) && rng() % 8 == 0) type |= OX_TYPE_MODIFIER;
            unsigned const cls = rng() % 50; // 1 in 50 stored, 1 in 50 without a class
            bool const stored = cls == 0;
            bool const null = rng() % 100 == 0;
            size_t const size = null ? 0 : payloadSize(rng);
            uint32_t const seq = sequence++;
            for (size_t i = 0; i < size; ++i) buf[i] = soak::fill(seq, i);
            auto e = ox::core::makeEvent(soak::kChaosAddress | thread, type,
                                         (stored ? OX_STORED_CLASS : cls == 1 ? 0u : OX_LIVE_CLASS) | (rng() % 2 ? OX_TEXT_PAYLOAD : 0),
                                         null ? nullptr : buf.data(), static_cast<uint32_t>(size));
            if (stored) e.requestId = soak::kChaosAddress | (rng() & 0xFFFF);
            e.seconds = static_cast<uint32_t>(demo::nowMs() / 1000);
            e.frameKind = static_cast<uint8_t>(rng() % 4);
            soak::Tag const tag{soak::kTagMagic, thread, seq, kind, static_cast<uint32_t>(size),
                                soak::sampleCheck(buf.data(), size)};
            std::memcpy(e.typed, &tag, sizeof tag);
            int const r = post(e);
            if (stored) {
                ++c.storedPosted;
                if (r == OX_POST_ACCEPTED) ++c.storedAccepted;
            } else if (r == OX_POST_ACCEPTED) {
                ++c.sent[kind].count;
                c.sent[kind].fingerprint += soak::mix(thread, seq);
            } else if (r == OX_POST_DROPPED) {
                ++c.dropped[kind];
            } else {
                ++c.refused[kind];
            }
        }
        if (rate == 0) {
            sleepFor(std::chrono::microseconds(rng() % 20000));
        } else {
            auto const due = start + std::chrono::microseconds(uint64_t{sequence} * 1000000 / rate);
            if (due > Clock::now()) sleepFor(std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()));
        }
    }
}

void fault(std::string const& what) {
    ++g_mischief["faults"];
    if (g_firstFault.empty()) g_firstFault = what;
}

void expect(char const* what, int got, int want) {
    ++g_mischief[std::string("expect.") + what];
    if (got != want) fault(std::string(what) + " returned " + std::to_string(got) + ", not " + std::to_string(want));
}

void search(std::mt19937& rng, uint32_t& nextRequest) {
    uint64_t const now = demo::nowMs();
    demo::SearchQuery const q{1 + static_cast<unsigned>(rng() % demo::kCameras), now - 500 - rng() % 4000, now - 500};
    std::string text = demo::queryText(q);
    uint32_t const id = soak::kChaosAddress | (nextRequest++ & 0xFFFF);
    auto e = ox::core::makeEvent(kSearchSource, OX_TYPE_UNSPECIFIED, 0, text.data(), static_cast<uint32_t>(text.size()));
    e.requestId = id;
    ++g_mischief[post(e) == OX_POST_ACCEPTED ? "search.accepted" : "search.refused"];
    if (rng() % 2) {
        sleepFor(std::chrono::microseconds(rng() % 400000));
        auto c = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_CANCEL, 0);
        c.requestId = id;
        ++g_mischief[post(c) == OX_POST_ACCEPTED ? "search.cancelled" : "search.cancel_refused"];
    }
}

void ipcRequest(uint64_t n) {
    std::string const body = "chaos request " + std::to_string(n) + " " + std::string(n % 200, 'x');
    {
        std::lock_guard lock(g_ipcMutex);
        if (g_pendingIpc.size() >= kMaxPendingIpc) return;
        g_pendingIpc.insert(body);
    }
    std::vector<char> packet(OX_IPC_HEADER_SIZE + body.size());
    ox_IpcHeader const h{static_cast<uint32_t>(packet.size()), ox_ipcRoutingOf(soak::kChaosAddress), kIpcType, 0};
    std::memcpy(packet.data(), &h, sizeof h);
    std::memcpy(packet.data() + sizeof h, body.data(), body.size());
    auto e = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_IPC, 0, packet.data(), static_cast<uint32_t>(packet.size()));
    if (post(e) == OX_POST_ACCEPTED) {
        ++g_mischief["ipc.sent"];
        return;
    }
    ++g_mischief["ipc.refused"]; // the send queue is full while the parent does not read
    std::lock_guard lock(g_ipcMutex);
    g_pendingIpc.erase(body);
}

void configDelta(std::mt19937& rng) {
    static char const* const bad[] = {
        "<?xml version=\"1.0\"?>\n<oREC Delta=\"1\"><Modules><Module>",
        "<oREC Delta=\"1\"><Plugin ID=\"4456448\" LogLevel=\"abc\"/></oREC>",
        "\x01\x02<<<>>>&#xFFFFFFFF;",
        "<?xml version=\"1.0\"?>\n<oREC Delta=\"1\"><Modules><Module ID=\"-2147483648\"><Plugin ID=\"4456448\" "
        "LogLevel=\"25\"></Module></Modules></oREC>",
        "",
    };
    std::string text;
    bool const valid = rng() % 2 == 0;
    if (valid)
        text = "<?xml version=\"1.0\"?>\n<oREC Delta=\"1\">\n<Modules><Module ID=\"-2147483648\"><Plugin ID=\"4456448\" "
               "LogLevel=\"" + std::to_string((rng() % 5) * 25) + "\"/></Module></Modules></oREC>\n";
    else
        text = bad[rng() % (sizeof bad / sizeof bad[0])];
    auto e = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_CONFIG, OX_LIVE_CLASS | OX_XML_PAYLOAD,
                                 text.empty() ? nullptr : text.data(), static_cast<uint32_t>(text.size()));
    int const r = post(e);
    ++g_mischief[std::string(valid ? "config.valid" : "config.malformed") + (r == OX_POST_ACCEPTED ? "" : ".refused")];
}

void crypto(std::mt19937& rng) {
    std::string const plain = "chaos crypto " + std::to_string(rng());
    std::vector<char> buf(plain.size() + 48, '\0');
    std::memcpy(buf.data(), plain.data(), plain.size());
    auto e = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_CRYPTO, OX_CRYPTO_ENCRYPT, buf.data(),
                                 static_cast<uint32_t>(buf.size()));
    e.level = static_cast<int32_t>(plain.size());
    expect("crypto.encrypt", post(e), OX_CRYPTO_DONE);
    e.flags = OX_CRYPTO_DECRYPT;
    expect("crypto.decrypt", post(e), OX_CRYPTO_DONE);
    if (e.level != static_cast<int32_t>(plain.size()) || std::memcmp(buf.data(), plain.data(), plain.size()) != 0)
        fault("crypto round trip did not give the text back");

    // Hostile fields: each is answered, nothing is written past the buffer.
    char small[24] = "twenty bytes of text.";
    auto h = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_CRYPTO, OX_CRYPTO_ENCRYPT, small, sizeof small);
    h.level = sizeof small + 1 + static_cast<int32_t>(rng() % 1000);
    expect("crypto.beyond_buffer", post(h), OX_CRYPTO_BAD_LENGTH);
    h.level = 0;
    expect("crypto.empty", post(h), OX_CRYPTO_BAD_LENGTH);
    h.level = -1 - static_cast<int32_t>(rng() % 1000);
    expect("crypto.negative", post(h), OX_CRYPTO_BAD_LENGTH);
    h.level = 4;
    h.flags = 7;
    expect("crypto.bad_operation", post(h), OX_CRYPTO_BAD_OPERATION);
    auto n = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_CRYPTO, OX_CRYPTO_DECRYPT, nullptr, 64);
    n.level = 32;
    expect("crypto.no_buffer", post(n), OX_CRYPTO_BAD_LENGTH);
    h.flags = OX_CRYPTO_ENCRYPT;
    h.level = 20; // the image needs 48 bytes: the answer says so and changes nothing
    int const need = post(h);
    ++g_mischief["expect.crypto.too_small"];
    if (need <= static_cast<int>(sizeof small) || std::strcmp(small, "twenty bytes of text.") != 0)
        fault("crypto into a too small buffer returned " + std::to_string(need));
}

void logs(std::mt19937& rng) {
    static constexpr int32_t levels[] = {OX_LOG_DEBUG, OX_LOG_INFO, OX_LOG_NOTICE, OX_LOG_WARNING, OX_LOG_CRITICAL, -7, 1000};
    int32_t const level = levels[rng() % (sizeof levels / sizeof levels[0])];
    std::string text = "chaos says " + std::to_string(rng());
    if (rng() % 4 == 0) text += "\nwith a second line,\ta tab and \x1b[31mcolour";
    demo::log(g_post, soak::kChaosAddress, level, text);
    ++g_mischief["log.posted"];
    auto q = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_LOG, OX_LIVE_CLASS | OX_QUERY_FLAG);
    int const answer = post(q);
    ++g_mischief["log.queries"];
    if (answer < 0 || answer > 100) fault("log query answered " + std::to_string(answer));
}

void mistakes(std::mt19937& rng) {
    expect("mistake.null_record", g_post(nullptr, nullptr), OX_POST_REFUSED);
    char never[32] = {};
    auto d = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_DECREF, 0, never, sizeof never);
    expect("mistake.decref_never_got", post(d), OX_POST_REFUSED);
    char small[16] = "sixteen bytes..";
    auto big = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_ALARM, OX_LIVE_CLASS, small, 0x7FFFFFFFu);
    expect("mistake.length_beyond_buffer", post(big), OX_POST_REFUSED);
    big.dataLen = (16u << 20) + 1 + (rng() % 4096);
    expect("mistake.length_over_limit", post(big), OX_POST_REFUSED);
    char* inside = nullptr;
    {
        std::lock_guard lock(g_keepMutex);
        if (!g_forever.empty()) inside = g_forever.front() + 1; // a payload that stays alive
    }
    if (inside) {
        auto s = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_DECREF, 0, inside);
        expect("mistake.decref_inside_payload", post(s), OX_POST_REFUSED);
    }
}

void mischief() {
    std::mt19937 rng(static_cast<uint32_t>(g_seed * 104729 + 17));
    uint32_t nextRequest = 1;
    uint64_t ipc = 0;
    auto lastConfig = Clock::now();
    while (!g_stop.load()) {
        switch (rng() % 7) {
        case 0: search(rng, nextRequest); break;
        case 1: ipcRequest(ipc++); break;
        case 2:
            if (Clock::now() - lastConfig >= 500ms) {
                configDelta(rng);
                lastConfig = Clock::now();
            }
            break;
        case 3: crypto(rng); break;
        case 4: logs(rng); break;
        case 5: mistakes(rng); break;
        case 6: { // goes back to its poster only
            auto w = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_WATCHDOG, OX_LIVE_CLASS);
            if (post(w) == OX_POST_ACCEPTED) ++g_mischief["watchdog.sent"];
            break;
        }
        }
        sleepFor(std::chrono::microseconds(5000 + rng() % 50000));
    }
}

void release(char* data) {
    auto e = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_DECREF, 0, data);
    int const r = post(e);
    ++g_releaser[r == OX_POST_ACCEPTED ? "released" : "release_refused"];
}

void releaser() {
    std::unique_lock lock(g_keepMutex);
    while (!g_stop.load()) {
        if (g_kept.empty()) {
            g_keepWake.wait_for(lock, 100ms);
            continue;
        }
        Kept const k = g_kept.front();
        if (Clock::now() < k.due) {
            g_keepWake.wait_until(lock, std::min(k.due, Clock::now() + 100ms));
            continue;
        }
        g_kept.pop_front();
        lock.unlock(); // never post under our own lock
        release(k.data);
        lock.lock();
    }
}

void searchResult(ox_EventParms const& e) {
    demo::MediaInfo const m = demo::mediaOf(e);
    if (m.magic != demo::kMediaMagic)
        ++g_in.badResults;
    else if (m.last)
        ++g_in.ends;
    else if (!demo::intactPayload(e.data, e.dataLen, m.checksum))
        ++g_in.badResults;
    else
        ++g_in.results;
}

std::string kindKey(char const* what, unsigned kind, char const* field) {
    return std::string(what) + "." + soak::kKinds[kind].name + "." + field;
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    g_hoard = soak::setting("hoard", 0) != 0;
    g_seed = soak::setting("seed", 1);
    out->address = soak::kChaosAddress;
    out->alarm = out->ptz = out->serial = out->pos = OX_CONSUMES;
    if (g_hoard) out->video = out->audio = OX_CONSUMES;
    out->closePriority = kClosePriority;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    g_stop.store(false);
    // Reported when nothing happened too.
    for (char const* key : {"faults", "search.accepted", "search.refused", "search.cancelled", "search.cancel_refused",
                            "ipc.sent", "ipc.refused", "config.valid", "config.malformed", "log.posted", "watchdog.sent"})
        g_mischief[key] = 0;
    g_releaser["released"] = g_releaser["release_refused"] = 0;
    for (unsigned t = 0; t < soak::kStormThreads; ++t) g_threads.emplace_back(storm, t);
    g_threads.emplace_back(mischief);
    g_threads.emplace_back(releaser);
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    g_stop.store(true);
    g_keepWake.notify_all();
    for (auto& t : g_threads) t.join();
    g_threads.clear();
    // What is still waiting for its late release goes back now.
    std::deque<Kept> late;
    {
        std::lock_guard lock(g_keepMutex);
        late.swap(g_kept);
    }
    for (auto const& k : late) release(k.data);

    std::map<std::string, std::string> r;
    StormCounts total;
    for (auto const& s : g_storm) {
        for (unsigned k = 0; k < soak::kKindCount; ++k) {
            total.sent[k].count += s.sent[k].count;
            total.sent[k].fingerprint += s.sent[k].fingerprint;
            total.dropped[k] += s.dropped[k];
            total.refused[k] += s.refused[k];
        }
        total.storedPosted += s.storedPosted;
        total.storedAccepted += s.storedAccepted;
        total.backoffs += s.backoffs;
    }
    for (unsigned k = 0; k < soak::kKindCount; ++k) {
        r[kindKey("sent", k, "count")] = soak::num(total.sent[k].count);
        r[kindKey("sent", k, "fp")] = soak::num(total.sent[k].fingerprint);
        r[kindKey("sent", k, "dropped")] = soak::num(total.dropped[k]);
        r[kindKey("sent", k, "refused")] = soak::num(total.refused[k]);
        r[kindKey("got", k, "count")] = soak::num(g_in.storms.got[k].count);
        r[kindKey("got", k, "fp")] = soak::num(g_in.storms.got[k].fingerprint);
    }
    std::pair<char const*, uint64_t> const figures[] = {
        {"stored.posted", total.storedPosted},
        {"stored.accepted", total.storedAccepted},
        {"storm.backoffs", total.backoffs},
        {"got.out_of_order", g_in.storms.outOfOrder},
        {"got.corrupt", g_in.storms.corrupt},
        {"got.core_alarms", g_in.coreAlarms},
        {"watchdog.got", g_in.watchdogs},
        {"mistake.early_release", g_in.earlyReleases},
        {"mistake.second_decref_refused", g_in.secondRefused},
        {"mistake.release_faults", g_in.releaseFaults},
        {"search.results", g_in.results},
        {"search.ends", g_in.ends},
        {"search.bad_results", g_in.badResults},
    };
    for (auto const& [k, v] : figures) r[k] = soak::num(v);
    for (auto const& [k, v] : g_mischief) r[k] = soak::num(v);
    for (auto const& [k, v] : g_releaser) r["keep." + k] = soak::num(v);
    r["first_fault"] = g_firstFault.empty() ? "none" : g_firstFault;
    {
        std::lock_guard lock(g_ipcMutex);
        r["ipc.answered"] = soak::num(g_ipcAnswered);
        r["ipc.unknown_answers"] = soak::num(g_ipcUnknown);
        r["ipc.unanswered"] = soak::num(g_pendingIpc.size());
    }
    {
        std::lock_guard lock(g_keepMutex);
        r["keep.kept"] = soak::num(g_keptCount);
        r["keep.forever"] = soak::num(g_forever.size());
        r["hoard"] = g_hoard ? "1" : "0";
        r["hoard.kept"] = soak::num(g_hoarded.size());
    }
    if (!soak::writeReport("Chaos", r))
        demo::log(g_post, soak::kChaosAddress, OX_LOG_WARNING, "cannot write soak-report/Chaos.txt");
    return 0;
}

// Dispatcher thread.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    if (e->flags & OX_STORED_CLASS) {
        searchResult(*e);
        return OX_EVENT_DONE;
    }
    bool const ours = ox::core::pluginIdOf(e->source) == ox::core::pluginIdOf(soak::kChaosAddress);
    if (ours && soak::tagOf(*e).magic == soak::kTagMagic) g_in.storms.take(*e);
    else if (ox::core::typeOf(*e) == OX_TYPE_ALARM && ox::core::pluginIdOf(e->source) == 0) ++g_in.coreAlarms;
    else if (ours && ox::core::typeOf(*e) == OX_TYPE_WATCHDOG) ++g_in.watchdogs;
    if (!e->data) return OX_EVENT_DONE;

    static std::mt19937 rng(static_cast<uint32_t>(g_seed));
    if (!g_hoard && rng() % 64 == 0) {
        // A decref during the call, a second one, then keep 0: the first gives
        // the reference back, the second is refused (the queue still holds the
        // payload, so it cannot be another one by now) and the core must not
        // release the reference a second time.
        auto d = ox::core::makeEvent(soak::kChaosAddress, OX_TYPE_DECREF, 0, e->data);
        if (post(d) != OX_POST_ACCEPTED) ++g_in.releaseFaults;
        if (post(d) == OX_POST_REFUSED) ++g_in.secondRefused; else ++g_in.releaseFaults;
        ++g_in.earlyReleases;
        return OX_EVENT_DONE;
    }
    std::lock_guard lock(g_keepMutex);
    if (g_hoard) {
        g_hoarded.push_back(e->data);
        g_hoardBlocks.fetch_add(1);
        g_hoardBytes.fetch_add(e->dataLen + 8); // as the core counts a block
        return OX_EVENT_KEEP;
    }
    // Late releases keep payloads up to 256 KiB: a few large ones held for
    // seconds would swing resident memory more than any leak we look for.
    if (e->dataLen > kMaxKeptLate || rng() % 16 != 0) return OX_EVENT_DONE;
    ++g_keptCount;
    if (g_forever.size() < kForever)
        g_forever.push_back(e->data);
    else
        g_kept.push_back({e->data, Clock::now() + std::chrono::milliseconds(rng() % 2000)});
    g_keepWake.notify_all();
    return OX_EVENT_KEEP;
}

// I/O thread: the parent's answer to one of our requests, the whole packet.
OX_PLUGIN_EXPORT int OnIpcResult(char const* data, size_t length) {
    std::lock_guard lock(g_ipcMutex);
    std::string const body = length > OX_IPC_HEADER_SIZE ? std::string(data + OX_IPC_HEADER_SIZE, length - OX_IPC_HEADER_SIZE) : "";
    if (g_pendingIpc.erase(body))
        ++g_ipcAnswered;
    else
        ++g_ipcUnknown;
    return 0;
}
