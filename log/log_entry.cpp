// The sink behind logSev: one pointer, installed by the host process.
#include "log/log.h"

#include <atomic>

namespace ox::log {
namespace {
std::atomic<Sink const*> g_sink{nullptr};
} // namespace

void setSink(Sink const* sink) noexcept { g_sink.store(sink, std::memory_order_release); }

int32_t coreThreshold() noexcept {
    Sink const* sink = g_sink.load(std::memory_order_acquire);
    return sink ? sink->threshold(sink->context) : kDefaultLogThreshold;
}

void coreMessage(LogLevel level, std::string_view text) {
    if (Sink const* sink = g_sink.load(std::memory_order_acquire)) sink->message(sink->context, level, text);
}

} // namespace ox::log
