// Tally: the soak's counting consumer. It consumes every kind a storm posts
// that has consumers, checks each Chaos record against the tag it carries
// (payload length and sampled bytes, and per storm thread sequence numbers
// that only grow: one queue delivers a poster's records in order, and a
// duplicate would repeat one), counts per kind, watches the core's memory
// alarms, and samples the process every few seconds into
// soak-report/samples.csv. It is closed last, so it counts everything the
// others caused; its figures go to soak-report/Tally.txt.
#include "soak_common.h"

#include <dvrcore/process_info.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kClosePriority = 1; // last of all

ox_EventCallback g_post = nullptr; // from Load

// Dispatcher thread only (OnEvent); read in Close.
soak::Receipts g_storms;
uint64_t g_others = 0, g_throttleOn = 0, g_throttleOff = 0;

// 32 bits: the appliance has no 64-bit atomics; the sampler's differences wrap correctly.
std::atomic<uint32_t> g_tick{0};       // written by the dispatcher, read by the sampler
uint64_t g_delivered = 0;              // dispatcher thread; read in Close
std::atomic<bool> g_throttling{false}; // the state of the core's last memory alarm

std::mutex g_mutex;
std::condition_variable g_wake;
bool g_closing = false; // under g_mutex
std::thread g_sampler;  // main thread only
uint64_t g_samples = 0; // sampler thread; read once joined

uint64_t statusThreads() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    unsigned long n = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "Threads: %lu", &n) == 1) break;
    std::fclose(f);
    return n;
}

uint64_t residentKiB() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long size = 0, resident = 0;
    int const n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * (static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)) / 1024) : 0;
}

void sample(unsigned long everyMs) {
    FILE* csv = std::fopen("soak-report/samples.csv", "w");
    if (!csv) return;
    std::fprintf(csv, "seconds,events_per_s,rss_kib,live_blocks,block_kib,threads,throttling\n");
    auto const start = Clock::now();
    auto last = start;
    uint32_t lastDelivered = 0;
    std::unique_lock lock(g_mutex);
    while (!g_wake.wait_for(lock, std::chrono::milliseconds(everyMs), [] { return g_closing; })) {
        auto const now = Clock::now();
        uint32_t const delivered = g_tick.load();
        double const dt = std::chrono::duration<double>(now - last).count();
        std::fprintf(csv, "%.1f,%.0f,%llu,%u,%u,%llu,%d\n", std::chrono::duration<double>(now - start).count(),
                     dt > 0 ? static_cast<double>(static_cast<uint32_t>(delivered - lastDelivered)) / dt : 0.0,
                     static_cast<unsigned long long>(residentKiB()), oxmem::stats.blocks.load(),
                     oxmem::stats.bytes.load() / 1024, static_cast<unsigned long long>(statusThreads()),
                     g_throttling.load() ? 1 : 0);
        std::fflush(csv);
        last = now;
        lastDelivered = delivered;
        ++g_samples;
    }
    std::fclose(csv);
}

// A memory alarm of the core: <Memory ID=... Throttling="0|1" .../>.
void coreAlarm(ox_EventParms const& e) {
    if (!e.data) return;
    std::string const text(e.data, e.dataLen);
    if (text.find("<Memory") == std::string::npos) return;
    bool const on = text.find("Throttling=\"1\"") != std::string::npos;
    if (on && !g_throttling.exchange(true)) ++g_throttleOn;
    if (!on && g_throttling.exchange(false)) ++g_throttleOff;
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    out->address = soak::kTallyAddress;
    out->video = out->audio = out->alarm = out->ptz = out->serial = out->pos = out->analytic = OX_CONSUMES;
    out->closePriority = kClosePriority;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    std::lock_guard lock(g_mutex);
    g_closing = false;
    g_sampler = std::thread(sample, soak::setting("sample_ms", 2000));
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    {
        std::lock_guard lock(g_mutex);
        g_closing = true;
        g_wake.notify_all();
    }
    if (g_sampler.joinable()) g_sampler.join();
    std::map<std::string, std::string> r;
    for (unsigned k = 0; k < soak::kKindCount; ++k) {
        std::string const key = std::string("got.") + soak::kKinds[k].name + ".";
        r[key + "count"] = soak::num(g_storms.got[k].count);
        r[key + "fp"] = soak::num(g_storms.got[k].fingerprint);
    }
    r["got.out_of_order"] = soak::num(g_storms.outOfOrder);
    r["got.corrupt"] = soak::num(g_storms.corrupt);
    r["got.others"] = soak::num(g_others);
    r["delivered"] = soak::num(g_delivered);
    r["throttle.episodes"] = soak::num(g_throttleOn);
    r["throttle.ended"] = soak::num(g_throttleOff);
    r["samples"] = soak::num(g_samples);
    if (!soak::writeReport("Tally", r))
        demo::log(g_post, soak::kTallyAddress, OX_LOG_WARNING, "cannot write soak-report/Tally.txt");
    return 0;
}

// Dispatcher thread.
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    ++g_delivered;
    g_tick.fetch_add(1, std::memory_order_relaxed);
    unsigned const from = ox::core::pluginIdOf(e->source);
    if (from == ox::core::pluginIdOf(soak::kChaosAddress) && soak::tagOf(*e).magic == soak::kTagMagic)
        g_storms.take(*e);
    else if (from == 0 && ox::core::typeOf(*e) == OX_TYPE_ALARM)
        coreAlarm(*e);
    else
        ++g_others;
    return OX_EVENT_DONE;
}
