// The memory monitor, and its readings (resident memory, installed RAM and the
// clocks) behind one small seam so that tests can drive it.
#pragma once

#include "core/cgroup_memory.h"
#include "dvrcore/event_parms.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>

/// Resident memory of the process in bytes (32-bit); 0 (errno set) when it
/// cannot be read. The file stays open from the first call on.
unsigned getHeapAlloc();

/// Installed RAM in bytes; 0 when the system does not tell.
uint64_t installedRam();

/// Where the memory monitor and the status summary read the time and memory.
/// Defaults to the real clocks and readings; set before Run (tests only).
struct MonitorProbes {
    std::function<std::chrono::steady_clock::time_point()> steadyNow = [] { return std::chrono::steady_clock::now(); };
    std::function<std::chrono::system_clock::time_point()> wallNow = [] { return std::chrono::system_clock::now(); };
    std::function<unsigned()> heapAlloc = getHeapAlloc;
    std::function<uint64_t()> totalRam = installedRam;
    /// Memory limit of the core's memory cgroup in bytes; 0 when there is none.
    std::function<uint64_t()> cgroupMemory = cgroupMemoryLimit;
};

namespace ox::core {

/// Every 250 ms on the I/O thread, at most once a second: resident memory
/// against a limit from installed RAM, throttling episodes with their messages
/// and alarm events, and the wall-clock jump check.
///
/// Threads: the timer, the limits and the episode state belong to the I/O
/// thread (and to start, before it runs); posting threads read the throttling
/// flag, the status summary reads the memory in use.
class MemoryMonitor {
public:
    /// Queues one of the core's own records (the memory alarm); the queue's result.
    using Post = std::function<int(EventParms&)>;

    /// Other checks that ride on the timer, once a second; I/O thread.
    using Tick = std::function<void()>;

    MemoryMonitor(boost::asio::io_context& io, Post post, Tick everySecond = {});

    /// Arms the first check at once; I/O thread.
    void start();
    /// Cancels the check for good; any thread (runs on the I/O thread).
    void stop();
    /// Timer completion of the check; I/O thread (tests call it directly).
    void check(boost::system::error_code const& ec);
    /// Queues the memory alarm event with the current throttling state.
    void alarm();
    /// Starts or ends a throttling episode for a reading over or under the limit.
    void throttle(bool over);

    bool throttling() const noexcept { return throttling_.load(); }
    /// From configuration, before start; main thread.
    void setEnabled(bool on) noexcept { enabled_ = on; }
    bool enabled() const noexcept { return enabled_; }
    /// The last reading of resident memory.
    uint32_t inUse() const noexcept { return inUse_.load(); }
    /// True once per episode: the first refusal under the ceilings is reported.
    bool firstRefusalOfEpisode() noexcept { return !ceilingReported_.exchange(true); }

    MonitorProbes probes; ///< clocks and readings; set before start

private:
    void arm(std::chrono::steady_clock::time_point expiry);
    /// Builds and queues the alarm; the queue's result.
    int queueAlarm();

    Post post_;
    Tick everySecond_;
    boost::asio::steady_timer timer_; ///< I/O thread (and start before the thread runs)
    bool timerPending_ = false;       ///< I/O thread
    /// From configuration: set by loadConfig on the main thread before the
    /// first check is posted to the I/O thread, read-only afterwards.
    bool enabled_ = true;
    std::atomic<bool> throttling_{false}; ///< written on the I/O thread, read by posting threads
    /// Set by the first refusal of an episode (any posting thread), cleared on
    /// the I/O thread as an episode begins. It guards only its own message.
    std::atomic<bool> ceilingReported_{false};
    int64_t lastOverLimit_ = std::numeric_limits<int64_t>::max(); ///< I/O thread
    /// Limits and time points of the check, set on its first call; I/O thread.
    struct State {
        bool started = false;
        uint64_t limit = 0;      ///< throttling limit, bytes
        uint64_t stackLimit = 0; ///< only reported
        std::chrono::steady_clock::time_point lastCheck;
        std::chrono::system_clock::time_point lastWall;
    } state_;
    std::atomic<uint32_t> inUse_{0};        ///< last measurement; written on the I/O thread
    bool readingFailed_ = false;            ///< the last reading failed (reported once); I/O thread
    /// An alarm could not be queued; retried by the next check. Written by
    /// alarm (the I/O thread, and Run's first alarm on the main thread before
    /// the first check), read by the check on the I/O thread.
    std::atomic<bool> alarmPending_{false};
};

} // namespace ox::core
