// Waits for a condition that the test can only observe from outside (a file
// another process writes, a line in its output), with a deadline.
#pragma once

#include <chrono>
#include <thread>

namespace testing_support {

/// True as soon as `done()` holds; false when it still does not at the deadline.
template <typename Predicate>
bool waitUntil(Predicate&& done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a poll interval, not a synchronisation
    }
}

} // namespace testing_support
