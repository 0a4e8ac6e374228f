// The once-a-minute activity summary's state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// The summary's state, kept by the dispatch loop and lent to the summary on
/// every turn; dispatcher thread.
struct SummaryState {
    std::chrono::steady_clock::duration lastSummary{}; ///< steady time of the last summary
    uint32_t inQ = 0;            ///< records left after the last one taken
    uint32_t events = 0;         ///< records taken since the last summary
    uint32_t idle = 0;           ///< idle seconds since the last summary
    uint64_t logDispatchUs = 0;  ///< time spent delivering live log records
    uint32_t memAtLastSummary = 0; ///< memory in use at the last summary
    std::vector<std::pair<uint32_t, uint32_t>> top; ///< scratch: {plugin id, references}
    std::string topText;                            ///< scratch
};
