// The stop of the process and its shutdown: when the stop came and by when it
// must be over, what the shutdown is doing, and the watch that ends a process
// whose stop outlived its deadline. The watch's thread never runs plugin
// code and never logs through the log plugin: it writes its one line to the
// console descriptor itself, so that no plugin can keep it from ending the
// process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace ox::core {

class Shutdown {
public:
    using Clock = std::chrono::steady_clock;
    /// After the deadline, what closing and unloading may still take before
    /// the watch ends the process: the parent may rely on the stop being over
    /// by the deadline plus three seconds.
    static constexpr auto kForcedExitAfter = std::chrono::milliseconds(2700);
    /// Exit status of a stop that did not finish in time.
    static constexpr int kTooLateStatus = 1;

    /// `flushConsole` writes the console's buffered lines, waiting at most the given time.
    explicit Shutdown(std::function<void(std::chrono::milliseconds)> flushConsole);
    ~Shutdown();
    Shutdown(Shutdown const&) = delete;
    Shutdown& operator=(Shutdown const&) = delete;

    /// Starts the watch's thread; false (errno set) when it cannot be created.
    bool startWatch();
    /// The console descriptor the watch writes its line to.
    void setConsole(int fd) noexcept;
    /// The time a stop may take; any thread, before or after the stop.
    void setLimit(std::chrono::milliseconds limit);
    /// Records the first stop request and arms the watch; any thread.
    void requested();
    /// True once the stop was requested. The default order pairs with the
    /// store in `requested`; the posting path's early refusal reads it relaxed
    /// (the queue decides under its lock).
    bool stopRequested(std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return stopRequested_.load(order);
    }
    /// When the stop must be over; the far future before the stop.
    Clock::time_point deadline() const;
    /// What the shutdown is doing now ("closing X"), for the watch's line.
    void setStep(std::string step);
    /// Notes that a plugin call or thread outlived the deadline.
    void markLeftRunning() noexcept;
    bool leftRunning() const;
    /// The process ends by itself from here: the watch stands down.
    void disarm();

private:
    void watch();
    /// What the main thread is doing, in words, for the watch's line; under mutex_.
    std::string doingLocked() const;

    std::function<void(std::chrono::milliseconds)> flushConsole_;
    std::atomic<bool> stopRequested_{false}; ///< set once by requested, after the stop time; read by any thread
    mutable std::mutex mutex_; ///< guards everything below; never held while anything blocks
    std::condition_variable changed_;
    std::optional<Clock::time_point> stopAt_;                     ///< under mutex_
    std::chrono::milliseconds limit_{std::chrono::seconds(60)}; ///< under mutex_
    std::string step_;                                          ///< under mutex_: empty before closing begins
    bool leftRunning_ = false;                                  ///< under mutex_
    bool disarmed_ = false;                                     ///< under mutex_
    bool watching_ = false;                                     ///< under mutex_: the thread runs
    int consoleFd_ = 1;                                         ///< under mutex_
};

} // namespace ox::core
