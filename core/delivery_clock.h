// The dispatcher's stopwatch. Every delivery is timed, so on a busy queue the
// steady clock is read several times per record; on x86 each read waits for
// the loads before it and costs about as much as the rest of a delivery. Where
// the kernel keeps steady time with the processor's time-stamp counter, the
// stopwatch reads that counter and converts it to steady time with a rate it
// learns from the steady clock. Until it has learnt the rate, and on every
// other machine, it reads the steady clock. One thread owns an instance.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define OX_HAVE_TSC 1
#endif

class DeliveryClock {
public:
    using Steady = std::chrono::steady_clock;

    /// Baseline the rate needs before the counter is used.
    static constexpr Steady::duration kLearnOver = std::chrono::milliseconds(10);

    DeliveryClock() noexcept;

    /// Steady time now: from the counter once the rate is known, else read.
    Steady::time_point now() noexcept {
        if (nsPerTick_ == 0.0) return Steady::now();
        auto const ticks = static_cast<int64_t>(counter() - anchorTicks_);
        return anchorSteady_ + std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(ticks) * nsPerTick_));
    }

    /// Reads the steady clock itself (for deadlines), and refines the rate and
    /// the anchor of the conversion with the reading.
    Steady::time_point steadyNow() noexcept;

    /// True when readings come from the counter.
    bool usesCounter() const noexcept { return nsPerTick_ != 0.0; }

    // On a busy queue the end of one record's last delivery is "now" for the
    // next record too, as long as only the queue's own bookkeeping came
    // between: that saves a reading per record.

    /// The time to start the next record with: the kept end of the last
    /// delivery, or a new reading.
    Steady::time_point recentOrNow() noexcept { return recent_ != Steady::time_point{} ? recent_ : now(); }
    /// Keeps the end of a record's last delivery (none when nothing was
    /// delivered); now and then pairs the counter with the steady clock again.
    void recordDone(Steady::time_point lastDelivery) noexcept {
        recent_ = lastDelivery;
        if (++sincePairing_ == kRecordsPerPairing) {
            sincePairing_ = 0;
            steadyNow();
            recent_ = {};
        }
    }
    /// Something that takes its time came between (a wait, a block freed, a
    /// summary): the next record reads the clock.
    void forget() noexcept { recent_ = {}; }

private:
    static uint64_t counter() noexcept {
#ifdef OX_HAVE_TSC
        return __rdtsc();
#else
        return 0;
#endif
    }

    bool counterKeepsTime_ = false; ///< the kernel's clock source is the time-stamp counter
    uint64_t originTicks_ = 0;      ///< first pairing: the rate is measured from here
    Steady::time_point originSteady_{};
    uint64_t anchorTicks_ = 0; ///< latest pairing: conversions start here
    Steady::time_point anchorSteady_{};
    double nsPerTick_ = 0.0; ///< 0 until learnt
    /// A queue that never empties still pairs the counter with the steady clock now and then.
    static constexpr uint32_t kRecordsPerPairing = 1u << 16;
    Steady::time_point recent_{}; ///< kept end of the last delivery; none = read anew
    uint32_t sincePairing_ = 0;
};
