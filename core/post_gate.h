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
    bool enter() noexcept {
        if (!safety.postGate) return true;
        Slot& slot = slots_[slotIndex()];
        // Sequentially consistent, as the store of closed_ and the reads of the
        // slots in closeAndWait: either this post sees the gate closed, or the
        // closer sees it inside and waits. Acquire/release would let both miss.
        slot.inside.fetch_add(1, std::memory_order_seq_cst);
        if (closed_.load(std::memory_order_seq_cst)) {
            slot.inside.fetch_sub(1, std::memory_order_release);
            return false;
        }
        return true;
    }
    /// Leaves after an admitted post (same thread).
    void leave() noexcept {
        if (safety.postGate) slots_[slotIndex()].inside.fetch_sub(1, std::memory_order_release);
    }
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
