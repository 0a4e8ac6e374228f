// What the checker exports to plugins in place of the core (core/exports.list):
// the core accessor and its Stop, the parent's uid and the payload counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace oxmem {

/// The exported payload counters; the same layout as the core's, gaps
/// included, since plugins read them by this name.
struct Stats {
    std::atomic<uint32_t> blocks; ///< payload blocks alive
    char gap1[64];
    std::atomic<uint32_t> bytes; ///< their sizes, payload + 8 each
    char gap2[64];
    std::atomic<uint32_t> refs[256]; ///< references held, per plugin id
};
static_assert(offsetof(Stats, blocks) == 0);
static_assert(offsetof(Stats, bytes) == 68);
static_assert(offsetof(Stats, refs) == 136);
static_assert(sizeof(Stats) == 136 + 256 * 4);

extern Stats stats;

} // namespace oxmem

namespace check {

/// Called when the plugin asks the core to stop (DvrCore::Stop); defined by the host.
void onStopRequest() noexcept;

} // namespace check
