// The one queue between the posting threads and the dispatcher.
#pragma once

#include "core/record_ring.h"
#include "dvrcore/event_parms.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class DeliveryClock;

namespace ox::core {

/// Records wait here by value, each payload with the queue's own reference.
/// Posting threads push; the dispatcher thread takes, one record at a time.
///
/// Locking: mutex_ guards the ring, the closed flag and the late count. It is
/// the event path's one lock, oxmem::blockLock(), shared with the kept blocks
/// and the live-block registry: the dispatcher gives back the block of the
/// record before in the critical section in which it takes the next (blocks
/// the cache gives up are freed after it). It is never held while plugin code
/// runs, while a release hook runs, or while anything is logged; the ring
/// allocates under it only when it grows and when it shrinks after a burst
/// (on an idle second).
class EventQueue {
public:
    enum class Taken : uint8_t {
        Record, ///< `out` holds the next record
        Idle,   ///< a second went by without a record
        Closed, ///< stopping and empty: the queue now refuses every record
    };
    struct Take {
        Taken what;
        uint32_t left;  ///< records still queued behind it
        bool waited;    ///< the dispatcher waited, polled or met a poster at the lock
    };

    EventQueue();
    EventQueue(EventQueue const&) = delete;
    EventQueue& operator=(EventQueue const&) = delete;

    /// Appends a record whose payload, if any, carries the queue's reference.
    /// False once closed: the reference is then still the caller's. Any thread.
    bool push(EventParms const& e);
    /// The dispatcher's wait for the next record: a short poll when records
    /// have been coming close together, then a sleep of at most a second.
    /// `done`, if not null, is a payload block whose last reference the
    /// dispatcher gave back (oxmem::releaseKeepingBlock): freed here, whatever is returned.
    Take take(EventParms& out, DeliveryClock& clock, char* done = nullptr);
    /// Makes take return Closed once the queue is empty. Any thread.
    void stop() noexcept;
    /// Removes every queued record; their references go to the caller.
    RecordRing drain();
    /// Runs `f` with the queue held: nothing is queued or taken meanwhile.
    template <typename F>
    void whileHeld(F&& f) {
        std::lock_guard lock(mutex_);
        f();
    }

    /// Copies of the queued records (payloads still owned by the queue).
    std::vector<EventParms> snapshot() const;
    /// Payload bytes queued by the poster with this plugin id; any thread, a recent value.
    size_t queuedBytes(unsigned pluginId) const noexcept {
        return queuedBytes_[pluginId & 0xFF].load(std::memory_order_relaxed);
    }
    /// Records of the core's own refused once closed (nobody else learns of them).
    uint32_t lateCoreRecords() const;

private:
    /// A record left the ring: its poster's queued bytes go down; under mutex_.
    void unqueued(EventParms const& e) noexcept;

    std::mutex& mutex_; ///< oxmem::blockLock()
    std::condition_variable cv_; ///< a notify per record queued while the dispatcher sleeps, and stop
    bool sleeping_ = false;      ///< under mutex_: the dispatcher waits on cv_ and nobody has signalled it
    RecordRing ring_;            ///< under mutex_
    /// Set under mutex_ by take as it returns Closed: no record can come in behind that look.
    bool closed_ = false;
    uint32_t lateCoreRecords_ = 0; ///< under mutex_
    /// Set once by stop, under mutex_ so that a dispatcher about to sleep
    /// cannot miss it (it would sleep on for up to the idle second); read by take.
    std::atomic<bool> stopping_{false};
    /// ring_.size(), stored under mutex_; read without it while the dispatcher polls.
    std::atomic<size_t> length_{0};
    /// Payload bytes queued per poster's plugin id: written under mutex_, read without it.
    std::array<std::atomic<size_t>, 256> queuedBytes_{};

    // The dispatcher's poll of an empty queue; dispatcher thread only.
    bool poll_;                                    ///< there is a processor to spare for it
    std::chrono::steady_clock::duration budget_{}; ///< zero: no poll until records come close together
    std::chrono::steady_clock::time_point emptyAt_{}; ///< when the queue was last found empty
    void learn(std::chrono::steady_clock::duration gap) noexcept;
    bool pollFor(DeliveryClock& clock) noexcept;
};

} // namespace ox::core
