// The dispatch loop: one record at a time, to every matching plugin in list
// order, each delivery timed.
#include "core/delivery_clock.h"
#include "core/dvr_core.h"
#include "log/log.h"
#include "plugin/plugin.h"

#include <algorithm>
#include <chrono>
#include <sched.h>

using ox::core::EventParms;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kSlowDeliveryNs = 5'000'000;
// Polling an empty queue: never shorter than the least (a dispatcher that
// sleeps between records loses its processor to busy posters for
// milliseconds), never longer than the most, and not at all when records are
// further apart than half the most (a poll before every sleep added
// microseconds to the wake-up at low rates).
constexpr Clock::duration kSpinLeast = std::chrono::microseconds(50);
constexpr Clock::duration kSpinMost = std::chrono::microseconds(200);
constexpr unsigned kPollsPerClockRead = 16;
// A queue that never empties still pairs the stopwatch with the steady clock now and then.
constexpr uint32_t kRecordsPerPairing = 1u << 16;

inline void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

/// Polling of an empty queue before the dispatcher sleeps. The budget follows
/// the gap between records: about twice the latest gap, when that was short.
class Spin {
public:
    /// The queue is empty: notes when, and tells whether to poll before sleeping.
    bool begin(DeliveryClock& clock) noexcept {
        start_ = clock.now();
        return budget_ != Clock::duration::zero();
    }
    /// Polls until a record is queued or the budget runs out; true when one is.
    bool poll(std::atomic<size_t> const& queued, DeliveryClock& clock) noexcept {
        Clock::time_point const until = start_ + budget_;
        bool found = false;
        for (unsigned i = 1;; ++i) {
            if (queued.load(std::memory_order_relaxed) != 0) {
                found = true;
                break;
            }
            cpuRelax();
            if (i % kPollsPerClockRead == 0) {
                if (clock.now() >= until) break;
                ::sched_yield(); // a thread waiting for this processor goes first
            }
        }
        if (found) learn(clock.now() - start_);
        return found;
    }
    /// When the queue was last found empty; after a sleep, the gap runs from here to the record.
    Clock::time_point start() const noexcept { return start_; }
    void learn(Clock::duration gap) noexcept {
        budget_ = gap <= kSpinMost / 2 ? std::max(2 * gap, kSpinLeast) : Clock::duration::zero();
    }

private:
    Clock::duration budget_ = Clock::duration::zero(); ///< no poll until records come close together
    Clock::time_point start_{};
};

} // namespace

std::string DvrCore::sourceName(uint32_t source) const {
    unsigned const id = ox::core::pluginIdOf(source);
    if (source == ox::core::kCoreAddress || id == 0) return "Core";
    for (auto const& p : plugins_)
        if (p->address() != ox::core::kCoreAddress && p->pluginId() == id) return std::string(p->shortName());
    return "unknown";
}

void DvrCore::dispatchEvents() {
    DeliveryClock clock;
    DispatchStats stats;
    stats.lastSummary = clock.now().time_since_epoch() - std::chrono::seconds(60);
    stats.top.reserve(6);
    // A wake-up costs the poster a system call and the record a scheduler
    // round trip; with a core to spare the dispatcher first polls for a while.
    bool const poll = std::thread::hardware_concurrency() > 1;
    Spin spin;
    uint32_t sincePairing = 0;
    // The end of the latest delivery while only the queue's own bookkeeping has
    // come since (no wait, no block freed, no lock contention, no summary, no
    // configuration update): it is then "now" for the next record's summary and
    // first delivery, which saves a clock read per record on a busy queue.
    Clock::time_point recent{};

    std::unique_lock lock(queueMutex_);
    for (;;) {
        // One second from taking the lock, read only once a wait is due (the
        // lock is still held): a busy queue costs no clock read per record.
        Clock::time_point deadline{};
        bool haveRecord = false;
        bool polled = !poll;
        for (;;) {
            if (!queue_.empty()) {
                haveRecord = true;
                break;
            }
            if (stopRequested_.load()) {
                queueClosed_ = true; // under the lock: no record can come in behind this look
                return;
            }
            recent = {};
            if (!polled) {
                polled = true;
                if (spin.begin(clock)) {
                    lock.unlock();
                    spin.poll(queueLength_, clock);
                    lock.lock();
                    continue;
                }
            }
            if (deadline == Clock::time_point{}) deadline = clock.steadyNow() + std::chrono::seconds(1);
            if (queueCv_.wait_until(lock, deadline) == std::cv_status::timeout) {
                haveRecord = !queue_.empty();
                if (!haveRecord && stopRequested_.load()) {
                    queueClosed_ = true;
                    return;
                }
                break;
            }
        }
        if (deadline != Clock::time_point{}) {
            // Slept: a record that came soon after the poll gave up lengthens the next poll.
            if (poll) spin.learn(haveRecord ? clock.now() - spin.start() : kSpinMost);
        }

        if (!haveRecord) {
            ++stats.idle;
            stats.inQ = 0;
            lock.unlock();
            statusSummary(stats, clock.now().time_since_epoch());
            lock.lock();
            continue;
        }

        if (stopRequested_.load(std::memory_order_relaxed) && Clock::now() >= stopDeadline()) {
            dropQueuedPastDeadline(lock);
            continue;
        }
        EventParms const e = queue_.front();
        queue_.pop_front();
        queueLength_.store(queue_.size(), std::memory_order_relaxed);
        unqueued(e);
        ++stats.events;
        stats.inQ = static_cast<uint32_t>(queue_.size());
        lock.unlock();

        Clock::time_point now = recent != Clock::time_point{} ? recent : clock.now();
        Clock::duration const summarised = stats.lastSummary;
        statusSummary(stats, now.time_since_epoch());
        if (stats.lastSummary != summarised) now = {}; // the summary took its time
        if (e.type == OX_TYPE_CONFIG) { // the hook acts on nothing else
            now = {};
            try {
                updateConfig(e);
            } catch (std::exception const& ex) {
                // A malformed delta must not end the process.
                logSev<kLogWarning>("configuration update ignored: {}", ex.what());
            }
        }
        recent = deliver(e, stats, clock, now);
        if (++sincePairing == kRecordsPerPairing) {
            sincePairing = 0;
            clock.steadyNow();
            recent = {};
        }
        if (e.data) {
            decRef(e.data, 0); // the queue's own reference
            recent = {};       // freeing the block may take a while
        }
        if (!lock.try_lock()) {
            lock.lock();
            recent = {};
        }
    }
}

void DvrCore::unqueued(EventParms const& e) noexcept {
    if (!e.data) return;
    // Written only under the queue lock; posters read it without.
    auto& bytes = queuedBytes_[ox::core::pluginIdOf(e.source)];
    bytes.store(bytes.load(std::memory_order_relaxed) - e.dataLen, std::memory_order_relaxed);
}

void DvrCore::dropQueuedPastDeadline(std::unique_lock<std::mutex>& lock) {
    std::deque<EventParms> left;
    left.swap(queue_);
    queueLength_.store(0, std::memory_order_relaxed);
    for (auto const& e : left) unqueued(e);
    lock.unlock(); // releasing blocks wakes search threads: never under the queue lock
    for (auto const& e : left) decRef(e.data, 0);
    logSev<kLogWarning>("stop deadline passed: {:L} queued record(s) dropped undelivered", left.size());
    lock.lock();
}

Clock::time_point DvrCore::deliver(EventParms const& e, DispatchStats& stats, DeliveryClock& clock,
                                   Clock::time_point start) {
    // One clock read per delivery: each one ends a delivery and starts the next.
    Clock::time_point t0 = start;
    bool delivered = false;
    for (auto const& p : plugins_) {
        if (!p->consumerMatch(e)) continue;
        delivered = true;
        if (t0 == Clock::time_point{}) t0 = clock.now();
        unsigned const id = p->pluginId();
        if (e.data) holdFor(e.data, id);
        if (p->OnEvent(e) == 0 && e.data) releaseFor(e.data, id);
        Clock::time_point const t1 = clock.now();
        // Never negative, even across processors whose counters differ by a hair.
        int64_t const dt = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
        t0 = t1;
        if (e.type == OX_TYPE_LOG) {
            if (e.flags & ox::core::kLiveClass) stats.logDispatchUs += static_cast<uint64_t>(dt / 1000);
        } else if (dt > kSlowDeliveryNs) {
            logSev<kLogDebug>("{} took {}ms for {} event from {} [{:L}]", p->shortName(), dt / 1'000'000,
                              ox::core::typeName(ox::core::typeOf(e)), sourceName(e.source), e.dataLen);
            t0 = clock.now(); // the message is not the next plugin's time
        }
    }
    return delivered ? t0 : Clock::time_point{};
}
