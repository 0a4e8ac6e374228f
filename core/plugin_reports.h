// The reports the core makes at most once per plugin, so that a plugin that
// keeps doing a wrong thing fills no log.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ox::core {

class PluginReports {
public:
    enum class Kind : uint8_t {
        HeldReferences, ///< references it held when it was unloaded; main thread
        OversizedPost,  ///< a post longer than a post may carry; any thread
        BadRelease,     ///< a release of a payload reference it does not hold; any thread
    };

    /// True the first time it is asked for this kind and plugin id. Relaxed:
    /// a flag guards only its own message.
    bool first(Kind kind, unsigned pluginId) noexcept {
        return !flags_[static_cast<size_t>(kind)][pluginId & 0xFF].exchange(true, std::memory_order_relaxed);
    }

private:
    std::array<std::array<std::atomic<bool>, 256>, 3> flags_{};
};

} // namespace ox::core
