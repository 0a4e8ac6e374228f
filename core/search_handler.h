// Searches over stored data: the request copy that search threads share, the
// bookkeeping of running search threads with their flow control, and the
// cancelled request ids.
#pragma once

#include "dvrcore/event_parms.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

class Plugin;

/// A search request's copy: the record with `data` pointing at the core's own
/// malloc'd copy of the payload, freed with the record.
class AsyncEvent : public ox::core::EventParms {
public:
    /// Throws std::bad_alloc when the payload copy cannot be made.
    explicit AsyncEvent(ox::core::EventParms const& request);
    ~AsyncEvent();
    AsyncEvent(AsyncEvent const&) = delete;
    AsyncEvent& operator=(AsyncEvent const&) = delete;
};
static_assert(sizeof(AsyncEvent) == sizeof(ox::core::EventParms));

class SearchHandler {
public:
    /// One running search thread's pacing state.
    struct StoredProvider {
        std::mutex mutex;
        std::condition_variable released;  ///< signalled when `pending` is cleared
        char const* pending = nullptr;     ///< payload of its last result still alive; under mutex
    };

    /// Cancelled ids kept at most; the oldest are forgotten first.
    static constexpr size_t kMaxCancelledIds = 4096;
    /// Search threads one provider runs at once: more than the clients of an
    /// appliance ever search or replay at the same time, few enough that a
    /// requester gone wild cannot exhaust threads, stacks and paced payloads.
    static constexpr unsigned kMaxSearchesPerProvider = 8;

    /// Keeps a search request walk or a search thread counted while it lives,
    /// so that shutdown can wait for it. Empty when the handler is stopping.
    class Admission {
    public:
        explicit Admission(SearchHandler& h);
        ~Admission();
        Admission(Admission const&) = delete;
        Admission& operator=(Admission const&) = delete;
        explicit operator bool() const noexcept { return handler_ != nullptr; }

    private:
        SearchHandler* handler_;
    };

    SearchHandler() = default;
    SearchHandler(SearchHandler const&) = delete;
    SearchHandler& operator=(SearchHandler const&) = delete;
    /// Stops and waits for the search threads (the owner should have done so already).
    ~SearchHandler();

    /// Marks a request id as cancelled.
    void Cancel(unsigned long requestId);
    /// The cancel query: true once the id is cancelled, and for every id while stopping.
    bool isCancelled(unsigned long requestId);
    /// A new request with this id: it is no longer cancelled.
    void reuse(unsigned long requestId);
    /// True on a running search thread.
    bool onSearchThread();

    /// Starts a detached thread that runs the request on the plugin. False when
    /// the handler is stopping, the plugin already runs its most searches, or
    /// the thread cannot be started.
    bool launch(std::shared_ptr<AsyncEvent const> const& request, std::shared_ptr<Plugin> const& provider);

    /// Flow control for a result posted with a request id: 0 when it may be
    /// queued (blocking while this thread's previous payload is alive, then
    /// recording `payload` as pending), 1 when it is refused (cancelled, not a
    /// search thread, or stopping).
    int admitResult(unsigned long requestId, char const* payload);
    /// A payload block was freed: wakes the search thread waiting on it.
    void released(char const* payload);

    /// Refuses new searches, refuses results, answers every cancel query with
    /// true and wakes the threads waiting in the flow control.
    void stop();
    /// Waits until every search request walk and search thread has ended, or
    /// until `deadline`; false when threads are still running then.
    bool waitIdle(std::chrono::steady_clock::time_point deadline);

private:
    void run(std::shared_ptr<AsyncEvent const> request, std::shared_ptr<Plugin> provider,
             std::shared_ptr<void const> ticket);
    bool cancelledLocked(unsigned long requestId) const;
    /// A search thread of `provider` has ended or never started.
    void endedLocked(Plugin const* provider);

    /// Search threads running per provider.
    struct ProviderLoad {
        unsigned running = 0;
        bool refusalReported = false; ///< a refusal was logged since the provider was last below its cap
    };

    std::mutex mutex_; ///< guards everything below but stopping_; taken before a provider's mutex
    std::unordered_map<unsigned long, uint64_t> cancelled_;      ///< id -> cancel sequence; under mutex_
    std::deque<std::pair<unsigned long, uint64_t>> cancelOrder_; ///< oldest first; under mutex_
    uint64_t cancelSeq_ = 0;                                      ///< under mutex_
    std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> providers_; ///< under mutex_
    std::atomic<size_t> providerCount_{0}; ///< size of providers_: lets decRef skip the lock when none run
    std::unordered_map<Plugin const*, ProviderLoad> loads_; ///< providers with threads running; under mutex_
    size_t running_ = 0;                   ///< walks and threads alive; under mutex_
    bool launchFailed_ = false;            ///< a thread could not be started since the last one that could; under mutex_
    std::condition_variable idle_;         ///< signalled when running_ drops; with mutex_
    std::atomic<bool> stopping_{false};    ///< set once by stop(); read under either mutex
};
