#include "core/event_queue.h"
#include "core/block_cache.h"
#include "core/delivery_clock.h"
#include "core/ref_block.h"

#include <algorithm>
#include <sched.h>
#include <thread>

namespace ox::core {
namespace {

using Clock = std::chrono::steady_clock;

// Polling an empty queue: never shorter than the least (a dispatcher that
// sleeps between records loses its processor to busy posters for
// milliseconds), never longer than the most, and not at all when records are
// further apart than a wake-up costs: at 10,000 records/s a poll bridging
// every gap kept a processor busy for what a sleep does in a few microseconds.
constexpr Clock::duration kSpinLeast = std::chrono::microseconds(50);
constexpr Clock::duration kSpinMost = std::chrono::microseconds(200);
constexpr Clock::duration kPollWorthGap = std::chrono::microseconds(20);
constexpr unsigned kPollsPerClockRead = 16;
/// The longest sleep: the status summary counts idle seconds.
constexpr Clock::duration kIdleWait = std::chrono::seconds(1);

inline void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

// A wake-up costs the poster a system call and the record a scheduler round
// trip; with a processor to spare the dispatcher first polls for a while.
EventQueue::EventQueue() : mutex_(oxmem::blockLock()), poll_(std::thread::hardware_concurrency() > 1) {}

bool EventQueue::push(EventParms const& e) {
    std::lock_guard lock(mutex_);
    // Decided under the lock: a record appended here is one the dispatcher has
    // yet to see, because take returns Closed only under this lock.
    if (closed_) {
        if (e.source == kCoreAddress) ++lateCoreRecords_;
        return false;
    }
    ring_.push(e);
    if (e.data) {
        auto& bytes = queuedBytes_[pluginIdOf(e.source)];
        bytes.store(bytes.load(std::memory_order_relaxed) + e.dataLen, std::memory_order_relaxed);
    }
    length_.store(ring_.size(), std::memory_order_relaxed);
    // Only a sleeping dispatcher needs the signal, and one signal wakes it:
    // one that is delivering, polling or already woken finds the record
    // itself. Notified under the lock: once the dispatcher has found the
    // queue closed, no poster can still be touching the condition variable.
    if (sleeping_) {
        sleeping_ = false;
        cv_.notify_one();
    }
    return true;
}

namespace {
/// Allocations given up under the lock, freed once it is let go (declared before the lock).
struct FreedAfterUnlock {
    void* chain = nullptr;
    ~FreedAfterUnlock() { oxmem::freeEvicted(chain); }
};
} // namespace

EventQueue::Take EventQueue::take(EventParms& out, DeliveryClock& clock, char* done) {
    FreedAfterUnlock freed;
    bool waited = false;
    bool polled = false; // emptyAt_ is set
    // An empty queue is polled before the lock is taken: a record found by the
    // poll then costs one acquisition, not one to find the queue empty and another.
    if (length_.load(std::memory_order_relaxed) == 0 && !stopping_.load(std::memory_order_relaxed)) {
        waited = polled = true;
        emptyAt_ = clock.now();
        if (poll_ && budget_ != Clock::duration::zero() && pollFor(clock)) learn(clock.now() - emptyAt_);
    }
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        lock.lock();
        waited = true;
    }
    // The last record's block, in this critical section rather than one of its own.
    if (done) oxmem::freeRefBlockLocked(done, freed.chain);
    // One second from the first wait, read only once a wait is due: a busy
    // queue costs no clock read per record.
    Clock::time_point deadline{};
    while (ring_.empty()) {
        if (stopping_.load()) {
            closed_ = true;
            return {Taken::Closed, 0, true};
        }
        waited = true;
        if (!polled) {
            polled = true;
            emptyAt_ = clock.now();
        }
        if (deadline == Clock::time_point{}) deadline = clock.steadyNow() + kIdleWait;
        sleeping_ = true;
        std::cv_status const woke = cv_.wait_until(lock, deadline);
        sleeping_ = false;
        if (woke == std::cv_status::timeout && ring_.empty()) {
            if (stopping_.load()) {
                closed_ = true;
                return {Taken::Closed, 0, true};
            }
            if (poll_) learn(kSpinMost);
            // A ring grown by a burst goes back to its size on an idle second;
            // the old storage is freed once the lock is let go.
            std::unique_ptr<EventParms[]> const old = ring_.shrink();
            lock.unlock();
            return {Taken::Idle, 0, true};
        }
    }
    // Slept: a record that came soon after the poll gave up lengthens the next poll.
    if (deadline != Clock::time_point{} && poll_) learn(clock.now() - emptyAt_);
    out = ring_.pop();
    length_.store(ring_.size(), std::memory_order_relaxed);
    unqueued(out);
    return {Taken::Record, static_cast<uint32_t>(ring_.size()), waited};
}

bool EventQueue::pollFor(DeliveryClock& clock) noexcept {
    Clock::time_point const until = emptyAt_ + budget_;
    for (unsigned i = 1;; ++i) {
        if (length_.load(std::memory_order_relaxed) != 0) return true;
        cpuRelax();
        if (i % kPollsPerClockRead == 0) {
            if (clock.now() >= until) return false;
            ::sched_yield(); // a thread waiting for this processor goes first
        }
    }
}

void EventQueue::learn(Clock::duration gap) noexcept {
    // About twice the latest gap, when that was short.
    budget_ = gap <= kPollWorthGap ? std::clamp(2 * gap, kSpinLeast, kSpinMost) : Clock::duration::zero();
}

void EventQueue::stop() noexcept {
    {
        // Under the lock: between its look at the flag and its wait the
        // dispatcher holds it, so the notification below cannot fall in between.
        std::lock_guard lock(mutex_);
        stopping_.store(true);
    }
    cv_.notify_one();
}

RecordRing EventQueue::drain() {
    RecordRing left;
    std::lock_guard lock(mutex_);
    left.swap(ring_);
    length_.store(0, std::memory_order_relaxed);
    left.forEach([this](EventParms const& e) { unqueued(e); });
    return left;
}

std::vector<EventParms> EventQueue::snapshot() const {
    std::vector<EventParms> copy;
    std::lock_guard lock(mutex_);
    copy.reserve(ring_.size());
    ring_.forEach([&](EventParms const& e) { copy.push_back(e); });
    return copy;
}

uint32_t EventQueue::lateCoreRecords() const {
    std::lock_guard lock(mutex_);
    return lateCoreRecords_;
}

void EventQueue::unqueued(EventParms const& e) noexcept {
    if (!e.data) return;
    auto& bytes = queuedBytes_[pluginIdOf(e.source)];
    bytes.store(bytes.load(std::memory_order_relaxed) - e.dataLen, std::memory_order_relaxed);
}

} // namespace ox::core
