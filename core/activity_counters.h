// What the routing and the search service count for the status summary.
#pragma once

#include <atomic>
#include <cstdint>

/// Dropping and search counters for the status summary. Statistics only:
/// relaxed atomic increments from any thread; the summary reads and resets them.
struct ActivityCounters {
    std::atomic<uint32_t> throttledVideo{0};    ///< live video refused while throttled
    std::atomic<uint32_t> throttledAudio{0};    ///< live audio refused while throttled
    std::atomic<uint32_t> searchRequests{0};    ///< requests that reached the provider scan
    std::atomic<uint32_t> searchCancels{0};     ///< cancel commands
    std::atomic<uint32_t> searchResults{0};     ///< results accepted from search threads
    std::atomic<uint32_t> searchResultBytes{0}; ///< their payload bytes
};
