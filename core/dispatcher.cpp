// The dispatch loop: one record at a time, to every matching plugin in list
// order, each delivery timed.
#include "core/block_cache.h"
#include "core/ref_block.h"
#include "core/delivery_clock.h"
#include "core/dvr_core.h"
#include "log/log.h"
#include "plugin/plugin.h"

#include <algorithm>
#include <chrono>

using ox::core::EventParms;
using ox::core::EventQueue;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int64_t kSlowDeliveryNs = 5'000'000;
} // namespace

void DvrCore::dispatchEvents() {
    DeliveryClock clock;
    SummaryState summary;
    summary.lastSummary = clock.now().time_since_epoch() - std::chrono::seconds(60);
    summary.top.reserve(6);
    EventParms e;
    // The block of the record before, when the dispatcher gave back its last
    // reference: freed by the next take, in the critical section it takes anyway.
    oxmem::RefBlockGuard done(nullptr);
    for (;;) {
        EventQueue::Take const took = queue_.take(e, clock, done.release());
        if (took.what == EventQueue::Taken::Closed) return;
        if (took.waited) clock.forget();
        if (took.what == EventQueue::Taken::Idle) {
            oxmem::releaseCachedBlocks(); // the backlog the kept blocks served is gone
            ++summary.idle;
            summary.inQ = 0;
            statusSummary(summary, clock.now().time_since_epoch());
            continue;
        }
        if (shutdown_.stopRequested(std::memory_order_relaxed) && Clock::now() >= stopDeadline()) {
            dropPastDeadline(e);
            continue;
        }
        ++summary.events;
        summary.inQ = took.left;

        Clock::time_point now = clock.recentOrNow();
        if (statusSummary(summary, now.time_since_epoch())) now = {}; // the summary took its time
        if (e.type == OX_TYPE_CONFIG) { // the hook acts on nothing else
            now = {};
            try {
                updateConfig(e);
            } catch (std::exception const& ex) {
                // A malformed delta must not end the process.
                logSev<kLogWarning>("configuration update ignored: {}", ex.what());
            }
        }
        clock.recordDone(deliver(e, summary, clock, now));
        if (e.data) {
            done.reset(oxmem::releaseKeepingBlock(e.data, 0)); // the queue's own reference
            clock.forget(); // a release hook may take a while
        }
    }
}

void DvrCore::dropPastDeadline(EventParms const& first) {
    ox::core::RecordRing left = queue_.drain();
    size_t const dropped = left.size() + 1;
    // Outside the queue lock: releasing blocks wakes search threads.
    oxmem::release(first.data, 0);
    left.forEach([](EventParms const& e) { oxmem::release(e.data, 0); });
    logSev<kLogWarning>("stop deadline passed: {:L} queued record(s) dropped undelivered", dropped);
}

Clock::time_point DvrCore::deliver(EventParms const& e, SummaryState& summary, DeliveryClock& clock,
                                   Clock::time_point start) {
    // One clock read per delivery: each one ends a delivery and starts the next.
    Clock::time_point t0 = start;
    bool delivered = false;
    for (auto const& p : plugins_.inOrder()) {
        if (!p->consumerMatch(e)) continue;
        delivered = true;
        if (t0 == Clock::time_point{}) t0 = clock.now();
        unsigned const id = p->pluginId();
        if (e.data) oxmem::holdFor(e.data, id);
        if (p->OnEvent(e) == OX_EVENT_DONE && e.data) oxmem::releaseFor(e.data, id);
        Clock::time_point const t1 = clock.now();
        // Never negative, even across processors whose counters differ by a hair.
        int64_t const dt = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
        t0 = t1;
        if (e.type == OX_TYPE_LOG) {
            if (e.flags & ox::core::kLiveClass) summary.logDispatchUs += static_cast<uint64_t>(dt / 1000);
        } else if (dt > kSlowDeliveryNs) {
            logSev<kLogDebug>("{} took {}ms for {} event from {} [{:L}]", p->shortName(), dt / 1'000'000,
                              ox::core::typeName(ox::core::typeOf(e)), plugins_.shortName(ox::core::pluginIdOf(e.source)),
                              e.dataLen);
            t0 = clock.now(); // the message is not the next plugin's time
        }
    }
    return delivered ? t0 : Clock::time_point{};
}
