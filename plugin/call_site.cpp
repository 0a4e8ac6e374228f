#include "plugin/call_site.h"

namespace ox::plugin {
namespace {
// Constant-initialised, so that reading it needs no allocation (signal handlers).
thread_local CallSite t_call;
std::atomic<CallSite const*> g_mainCall{nullptr};
} // namespace

CallSite& thisThreadsCall() noexcept { return t_call; }

void markMainThread() noexcept { g_mainCall.store(&t_call, std::memory_order_release); }

CallSite const* mainThreadsCall() noexcept { return g_mainCall.load(std::memory_order_acquire); }

CallScope::CallScope(char const* plugin, char const* entry, uint32_t eventType) noexcept
    : site_(t_call),
      plugin_(site_.plugin.load(std::memory_order_relaxed)),
      entry_(site_.entry.load(std::memory_order_relaxed)),
      eventType_(site_.eventType.load(std::memory_order_relaxed)) {
    site_.eventType.store(eventType, std::memory_order_relaxed);
    site_.entry.store(entry, std::memory_order_relaxed);
    // Release: the shutdown watch reads the name through this pointer.
    site_.plugin.store(plugin, std::memory_order_release);
}

CallScope::~CallScope() {
    site_.plugin.store(plugin_, std::memory_order_release);
    site_.entry.store(entry_, std::memory_order_relaxed);
    site_.eventType.store(eventType_, std::memory_order_relaxed);
}

} // namespace ox::plugin
