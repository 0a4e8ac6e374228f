// A consumer plugin for the dispatch benchmark, built in three variants that
// differ only in name and address. It consumes alarm events, counts them, and
// for records that carry a posting time (steady clock, nanoseconds, in the
// first 8 payload bytes) notes the delay from the post to this OnEvent call.
// The benchmark, which hosts the core in its own process, reads the figures
// through the Consumer* functions below (looked up with dlsym).
#include "dvrcore/plugin_interface.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#ifndef CONSUMER_ADDRESS
#define CONSUMER_ADDRESS 0x00600000u
#endif

namespace {

/// Flag in the alarm record's `level` word: the payload starts with the post time.
constexpr int32_t kTimedRecord = 1;
constexpr size_t kMaxLatencies = 1 << 16;

std::atomic<uint64_t> g_delivered{0}; ///< alarm and point-of-sale records seen; OnEvent (dispatcher thread) writes
std::atomic<uint64_t> g_target{0};    ///< count a waiter is waiting for; under g_waitMutex
std::mutex g_waitMutex;
std::condition_variable g_waitCv;
std::vector<int64_t> g_latencies;    ///< reserved at load; appended by OnEvent, read after a wait
std::atomic<size_t> g_latencyCount{0};

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const*, PluginInfo* out) {
    out->address = CONSUMER_ADDRESS;
    out->alarm = OX_CONSUMES;
#ifdef CONSUMER_ALSO_POS
    out->pos = OX_CONSUMES; // the benchmark's records for one consumer
#endif
    g_latencies.assign(kMaxLatencies, 0);
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }
OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) { return 0; }
OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) { return 0; }

OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* e) {
    uint32_t const type = e->type & ~OX_TYPE_MODIFIER;
    if (type != OX_TYPE_ALARM && type != OX_TYPE_POS) return 0;
    if (e->level == kTimedRecord && e->dataLen >= sizeof(int64_t)) {
        int64_t posted;
        std::memcpy(&posted, e->data, sizeof posted);
        size_t const i = g_latencyCount.load(std::memory_order_relaxed);
        if (i < kMaxLatencies) {
            g_latencies[i] = steadyNs() - posted;
            g_latencyCount.store(i + 1, std::memory_order_release);
        }
    }
    // Sequentially consistent with the waiter's store of the target: one of
    // the two sees the other, so the wake-up cannot be lost.
    uint64_t const n = g_delivered.fetch_add(1) + 1;
    if (n == g_target.load()) {
        std::lock_guard lock(g_waitMutex);
        g_waitCv.notify_all();
    }
    return 0;
}

/// Alarm records delivered so far.
OX_PLUGIN_EXPORT uint64_t ConsumerDelivered() { return g_delivered.load(); }

/// Blocks until `count` alarm records have been delivered.
OX_PLUGIN_EXPORT void ConsumerWaitFor(uint64_t count) {
    std::unique_lock lock(g_waitMutex);
    g_target.store(count);
    g_waitCv.wait(lock, [count] { return g_delivered.load() >= count; });
}

/// Copies up to `max` latencies (ns) noted since the last call and forgets them.
OX_PLUGIN_EXPORT size_t ConsumerTakeLatencies(int64_t* out, size_t max) {
    size_t const n = std::min(g_latencyCount.load(std::memory_order_acquire), max);
    std::memcpy(out, g_latencies.data(), n * sizeof(int64_t));
    g_latencyCount.store(0, std::memory_order_release);
    return n;
}
