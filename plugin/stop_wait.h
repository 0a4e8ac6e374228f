// The waits of a stop that may take long (threads and calls inside plugins,
// search threads): bounded by the stop deadline, and each says every few
// seconds what it still waits for.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ox::plugin {

/// How often a wait of the stop says that it still waits.
inline constexpr auto kWaitReport = std::chrono::seconds(5);

/// Waits on `cv` under `lock` until `done()` holds or `deadline` passes; true
/// when done. Every kWaitReport it calls `report(lock)` with the lock held;
/// a report that logs releases the lock around its message (logging may reach
/// a plugin) and takes it again.
template <class Done, class Report>
bool waitReporting(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   std::chrono::steady_clock::time_point deadline, Done done, Report report) {
    for (;;) {
        auto const until = std::min(deadline, std::chrono::steady_clock::now() + kWaitReport);
        if (cv.wait_until(lock, until, done)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        report(lock);
    }
}

} // namespace ox::plugin
