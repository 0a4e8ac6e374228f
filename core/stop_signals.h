// The signals of the process. The stop signals (SIGINT, SIGTERM, SIGQUIT) are
// blocked in every thread, from main on, and taken synchronously by one thread
// of the core's own that runs no plugin code: a plugin's handler never runs
// for them, and a plugin stuck on another thread cannot keep the core from
// stopping. Stray signals that would end the process without a close
// (SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ, SIGPIPE) are ignored.
#pragma once

#include <csignal>
#include <functional>
#include <mutex>

namespace ox::core {

class StopSignals {
public:
    /// Blocks the stop signals in the calling thread and ignores the stray
    /// ones; main calls it before any thread exists, so that all inherit the mask.
    static void prepareProcess() noexcept;

    /// The process's one instance; it lives, with its thread, until the process ends.
    static StopSignals& process();
    StopSignals(StopSignals const&) = delete;
    StopSignals& operator=(StopSignals const&) = delete;

    /// Starts the signal thread once; false (errno set) when it cannot be
    /// created. A signal that came before is pending and taken now.
    bool start();
    /// Called on the signal thread for the first stop signal after it was
    /// set; later ones are absorbed. It must not block or call into plugins.
    /// Null before the receiver's owner goes.
    void setReceiver(std::function<void()> receiver);

private:
    StopSignals() = default;
    void run();

    std::mutex mutex_;               ///< guards the three below; held while the receiver runs
    std::function<void()> receiver_; ///< under mutex_
    bool delivered_ = false;         ///< under mutex_: the first signal has been passed on
    bool started_ = false;           ///< under mutex_
};

} // namespace ox::core
