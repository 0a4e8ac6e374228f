// The log level configured per plugin id: the least severity of that
// plugin's records that is echoed and queued.
#pragma once

#include "log/log_level.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace ox::log {

class LogLevels {
public:
    static constexpr int32_t kUnset = -1; ///< not configured: kDefaultLogThreshold applies
    static constexpr int32_t kMost = 100;

    LogLevels() noexcept {
        for (auto& level : levels_) level.store(kUnset, std::memory_order_relaxed);
    }
    LogLevels(LogLevels const&) = delete;
    LogLevels& operator=(LogLevels const&) = delete;

    /// The least severity logged for this plugin id; any thread.
    int32_t threshold(unsigned pluginId) const noexcept {
        int32_t const level = configured(pluginId);
        return level >= 0 ? level : kDefaultLogThreshold;
    }
    /// As configured, kUnset when it is not; any thread.
    int32_t configured(unsigned pluginId) const noexcept {
        return levels_[pluginId & 0xFF].load(std::memory_order_relaxed);
    }
    /// Configures a level, brought into kUnset..kMost; true when that changed
    /// it. Any thread (the main thread and the dispatcher apply configuration).
    bool set(unsigned pluginId, int32_t level) noexcept {
        int32_t const stored = level < kUnset ? kUnset : level > kMost ? kMost : level;
        return levels_[pluginId & 0xFF].exchange(stored, std::memory_order_relaxed) != stored;
    }

private:
    /// Relaxed: each level is read on its own, and a record filtered by the
    /// level before a change is filtered as it would have been a moment earlier.
    std::array<std::atomic<int32_t>, 256> levels_;
};

} // namespace ox::log
