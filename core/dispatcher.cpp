// The dispatch loop: one record at a time, to every matching plugin in list
// order, each delivery timed.
#include "core/dvr_core.h"
#include "log/log.h"
#include "plugin/plugin.h"

#include <chrono>

using ox::core::EventParms;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int64_t kSlowDeliveryNs = 5'000'000;
} // namespace

std::string DvrCore::sourceName(uint32_t source) const {
    unsigned const id = ox::core::pluginIdOf(source);
    if (source == ox::core::kCoreAddress || id == 0) return "Core";
    for (auto const& p : plugins_)
        if (p->address() != ox::core::kCoreAddress && p->pluginId() == id) return std::string(p->shortName());
    return "unknown";
}

void DvrCore::dispatchEvents() {
    DispatchStats stats;
    stats.lastSummary = probes.steadyNow().time_since_epoch() - std::chrono::seconds(60);
    stats.top.reserve(6);

    std::unique_lock lock(queueMutex_);
    for (;;) {
        // One second from taking the lock, read only once a wait is due (the
        // lock is still held): a busy queue costs no clock read per record.
        Clock::time_point deadline{};
        bool haveRecord = false;
        for (;;) {
            if (!queue_.empty()) {
                haveRecord = true;
                break;
            }
            if (stopRequested_.load()) return;
            if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::seconds(1);
            if (queueCv_.wait_until(lock, deadline) == std::cv_status::timeout) {
                haveRecord = !queue_.empty();
                if (!haveRecord && stopRequested_.load()) return;
                break;
            }
        }

        if (!haveRecord) {
            ++stats.idle;
            stats.inQ = 0;
            lock.unlock();
            statusSummary(stats);
            lock.lock();
            continue;
        }

        EventParms const e = queue_.front();
        queue_.pop_front();
        ++stats.events;
        stats.inQ = static_cast<uint32_t>(queue_.size());
        lock.unlock();

        statusSummary(stats);
        try {
            updateConfig(e);
        } catch (std::exception const& ex) {
            // A malformed delta must not end the process.
            logSev<kLogWarning>("configuration update ignored: {}", ex.what());
        }
        deliver(e, stats);
        decRef(e.data, 0); // the queue's own reference
        lock.lock();
    }
}

void DvrCore::deliver(EventParms const& e, DispatchStats& stats) {
    for (auto const& p : plugins_) {
        if (!p->consumerMatch(e)) continue;
        auto const t0 = Clock::now();
        unsigned const id = p->pluginId();
        incRef(e.data, id);
        if (p->OnEvent(e) == 0) decRef(e.data, id);
        int64_t const dt = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
        if (e.type == OX_TYPE_LOG) {
            if (e.flags & ox::core::kLiveClass) stats.logDispatchUs += static_cast<uint64_t>(dt / 1000);
        } else if (dt > kSlowDeliveryNs) {
            logSev<kLogDebug>("{} took {}ms for {} event from {} [{:L}]", p->shortName(), dt / 1'000'000,
                              ox::core::typeName(ox::core::typeOf(e)), sourceName(e.source), e.dataLen);
        }
    }
}
