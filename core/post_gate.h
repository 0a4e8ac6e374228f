// Posts in flight through the posting callback, counted so that the core is
// never destroyed under a plugin thread that is still inside a post. Counts
// live in per-thread slots on lines of their own: posting threads never share
// a counter's cache line with each other.
#pragma once

#include "core/safety_switches.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace ox::core {

class PostGate {
public:
    /// Enters the core for one post; false once the gate is closed.
    bool enter() noexcept;
    /// Leaves after an admitted post (same thread).
    void leave() noexcept;
    /// Refuses every later post and waits for those inside to leave, until
    /// `deadline`; false when some are still inside then.
    bool closeAndWait(std::chrono::steady_clock::time_point deadline) noexcept;

private:
    static constexpr unsigned kSlots = 16;
    struct alignas(64) Slot {
        std::atomic<uint32_t> inside{0};
    };
    static unsigned slotIndex() noexcept;

    std::array<Slot, kSlots> slots_{};
    std::atomic<bool> closed_{false};
};

/// The gate of the posting callback.
PostGate& postGate() noexcept;

} // namespace ox::core
