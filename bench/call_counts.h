// Calls into the C library counted in the benchmark process, as an
// interposing tool would count them: heap calls, mutex acquisitions,
// condition-variable signals and waits. Counts are kept apart for the
// threads marked as posters and for all others (the dispatcher, the plugins).
#pragma once

#include <cstdint>

namespace dvr::bench {

struct CallCounts {
    uint64_t heap = 0;    ///< malloc, calloc, realloc, aligned_alloc, posix_memalign, free (of non-null)
    uint64_t locks = 0;   ///< pthread_mutex_lock and successful pthread_mutex_trylock
    uint64_t signals = 0; ///< pthread_cond_signal and pthread_cond_broadcast
    uint64_t waits = 0;   ///< pthread_cond_wait, _timedwait, _clockwait (each reacquires the mutex inside)
};

/// Harness: the benchmark's own bookkeeping on a poster thread (its wait for
/// a burst), counted apart from the event path's.
enum class Role : int { Poster = 0, Other = 1, Harness = 2 };

/// Marks the calling thread (Other until marked).
void markThread(Role role) noexcept;
/// Starts counting from zero.
void startCounting() noexcept;
/// Stops counting; returns what was counted for `role` since the start.
CallCounts stopCounting(Role role) noexcept;
CallCounts counted(Role role) noexcept;

} // namespace dvr::bench
