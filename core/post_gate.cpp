#include "core/post_gate.h"

#include <thread>

namespace ox::core {

namespace {
PostGate g_postGate;
std::atomic<unsigned> g_nextSlot{0};
} // namespace

PostGate& postGate() noexcept { return g_postGate; }

bool PostGate::enter() noexcept {
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

void PostGate::leave() noexcept {
    if (safety.postGate) slots_[slotIndex()].inside.fetch_sub(1, std::memory_order_release);
}

unsigned PostGate::slotIndex() noexcept {
    thread_local unsigned const slot = g_nextSlot.fetch_add(1, std::memory_order_relaxed) % kSlots;
    return slot;
}

bool PostGate::closeAndWait(std::chrono::steady_clock::time_point deadline) noexcept {
    closed_.store(true, std::memory_order_seq_cst);
    for (auto& slot : slots_) {
        while (slot.inside.load(std::memory_order_seq_cst) != 0) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200)); // a post ends in microseconds
        }
    }
    return true;
}

} // namespace ox::core
