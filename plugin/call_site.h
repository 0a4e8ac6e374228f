// Which plugin entry point a thread of the core is in. The fatal-signal
// handler names it for the thread that crashed, and the stop deadline's line
// names the main thread's. Each thread writes only its own record; readers
// take what they find (lock-free atomics, which a signal handler may read;
// the plugin pointer is published with release, so the name behind it is seen).
#pragma once

#include <atomic>
#include <cstdint>

namespace ox::plugin {

struct CallSite {
    std::atomic<char const*> plugin{nullptr}; ///< the plugin's file name; null outside plugin calls
    std::atomic<char const*> entry{nullptr};  ///< "Load", "OnEvent", ...: a literal
    std::atomic<uint32_t> eventType{0};       ///< type of the record being delivered, 0 for none
};

/// The calling thread's record.
CallSite& thisThreadsCall() noexcept;
/// Makes the calling thread the one whose record mainThreadsCall() returns.
void markMainThread() noexcept;
/// The main thread's record, or null before markMainThread().
CallSite const* mainThreadsCall() noexcept;

/// Marks the calling thread as inside one plugin call for its scope; nested
/// calls (a plugin that logs from its own entry point) restore the outer one.
class CallScope {
public:
    CallScope(char const* plugin, char const* entry, uint32_t eventType = 0) noexcept;
    ~CallScope();
    CallScope(CallScope const&) = delete;
    CallScope& operator=(CallScope const&) = delete;

private:
    CallSite& site_;
    char const* plugin_;
    char const* entry_;
    uint32_t eventType_;
};

} // namespace ox::plugin
