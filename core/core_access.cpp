#include "core/dvr_core.h"
#include "log/log.h"

#include <atomic>

namespace {
// Set by main right after construction, before Init, so logging works from the start.
std::atomic<DvrCore*> g_core{nullptr};

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
