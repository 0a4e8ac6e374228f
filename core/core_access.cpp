#include "core/dvr_core.h"

#include <atomic>

namespace {
// Set by main right after construction, before Init, so logging works from the start.
std::atomic<DvrCore*> g_core{nullptr};
} // namespace

DvrCore* GetCore() { return g_core.load(std::memory_order_acquire); }

void SetCore(DvrCore* core) { g_core.store(core, std::memory_order_release); }
