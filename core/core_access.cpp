#include "core/dvr_core.h"
#include "core/post_gate.h"
#include "log/log.h"

#include <atomic>
#include <thread>

namespace {
// Set by main right after construction, before Init, so logging works from the start.
std::atomic<DvrCore*> g_core{nullptr};
ox::core::PostGate g_postGate;
std::atomic<unsigned> g_nextSlot{0};

// The sink while a core is published: its messages become log events of its own.
int32_t coreThreshold(void*) noexcept {
    DvrCore const* core = g_core.load(std::memory_order_acquire);
    return core ? core->logLevel(0u) : kDefaultLogThreshold;
}
void coreMessage(void*, LogLevel level, std::string_view text) {
    if (DvrCore* core = g_core.load(std::memory_order_acquire)) core->myLogMessage(level, text);
}
ox::log::Sink const g_sink{nullptr, coreThreshold, coreMessage};
} // namespace

DvrCore* GetCore() { return g_core.load(std::memory_order_acquire); }

void SetCore(DvrCore* core) {
    g_core.store(core, std::memory_order_release);
    ox::log::setSink(core ? &g_sink : nullptr);
}
namespace ox::core {

PostGate& postGate() noexcept { return g_postGate; }

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
