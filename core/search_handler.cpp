// Search bookkeeping: request copies, one detached thread per request and
// provider, pacing of each thread's results, cancelled ids, and the shutdown
// that waits for the threads before the plugins go away.
#include "core/search_handler.h"
#include "core/events/record.h"

#include "log/log.h"
#include "plugin/plugin.h"
#include "plugin/stop_wait.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

namespace {

/// How often a shutdown that waits for search threads says so.

} // namespace

AsyncEvent::AsyncEvent(ox::core::EventParms const& request) : ox::core::EventParms(request) {
    if (request.dataLen == 0) {
        data = nullptr;
        return;
    }
    data = static_cast<char*>(std::malloc(request.dataLen));
    if (!data) throw std::bad_alloc();
    std::memcpy(data, request.data, request.dataLen);
}

AsyncEvent::~AsyncEvent() { std::free(data); }

SearchHandler::Admission::Admission(SearchHandler& h) : handler_(&h) {
    std::lock_guard lock(h.mutex_);
    if (h.stopping_.load()) {
        handler_ = nullptr;
        return;
    }
    ++h.running_;
}

SearchHandler::Admission::~Admission() {
    if (!handler_) return;
    std::lock_guard lock(handler_->mutex_);
    --handler_->running_;
    handler_->idle_.notify_all();
}

SearchHandler::~SearchHandler() {
    stop();
    waitIdle(std::chrono::steady_clock::time_point::max());
}

void SearchHandler::Cancel(unsigned long requestId) {
    std::lock_guard lock(mutex_);
    if (cancelled_.count(requestId)) return;
    cancelled_.emplace(requestId, ++cancelSeq_);
    cancelOrder_.emplace_back(requestId, cancelSeq_);
    // Bounded: ids reused or cancelled again leave stale entries here, so the
    // order list, not the set, is what gets cut.
    while (cancelOrder_.size() > kMaxCancelledIds) {
        auto const [id, seq] = cancelOrder_.front();
        cancelOrder_.pop_front();
        auto it = cancelled_.find(id);
        if (it != cancelled_.end() && it->second == seq) cancelled_.erase(it);
    }
}

bool SearchHandler::cancelledLocked(unsigned long requestId) const {
    return stopping_.load() || cancelled_.count(requestId) != 0;
}

bool SearchHandler::isCancelled(unsigned long requestId) {
    std::lock_guard lock(mutex_);
    return cancelledLocked(requestId);
}

void SearchHandler::reuse(unsigned long requestId) {
    std::lock_guard lock(mutex_);
    cancelled_.erase(requestId);
}

bool SearchHandler::onSearchThread() {
    std::lock_guard lock(mutex_);
    auto it = providers_.find(std::this_thread::get_id());
    return it != providers_.end() && it->second;
}

void SearchHandler::endedLocked(Plugin const* provider) {
    if (auto it = loads_.find(provider); it != loads_.end()) {
        if (--it->second.running == 0)
            loads_.erase(it);
        else
            it->second.refusalReported = false; // below the cap again: the next refusal is news
    }
    --running_;
    // Under the mutex: a shutdown waiting for this thread cannot go on (and
    // destroy the handler) before the notification is done.
    idle_.notify_all();
}

bool SearchHandler::launch(std::shared_ptr<AsyncEvent const> const& request, std::shared_ptr<Plugin> const& provider) {
    bool full = false, report = false;
    {
        std::lock_guard lock(mutex_);
        if (stopping_.load()) return false;
        ProviderLoad& load = loads_[provider.get()];
        full = load.running >= kMaxSearchesPerProvider;
        if (full) {
            report = !std::exchange(load.refusalReported, true);
        } else {
            ++load.running;
            ++running_;
        }
    }
    if (full) {
        // Logged once until one of its searches ends; never under the mutex (logging posts).
        if (report)
            logSev<kLogNotice>("search {:08x} not started on {}: it runs {} searches already; more are refused until one "
                               "ends",
                               request->requestId, provider->fileName(), kMaxSearchesPerProvider);
        return false;
    }
    // Inside the plugin from now on: a plugin that begins to close admits no
    // more searches, and its Unload waits for this one.
    auto ticket = provider->admitSearch();
    if (!ticket) {
        std::lock_guard lock(mutex_);
        endedLocked(provider.get());
        return false;
    }
    try {
        std::thread([this, request, provider, ticket]() mutable {
            run(std::move(request), std::move(provider), std::move(ticket));
        }).detach();
        std::lock_guard lock(mutex_);
        launchFailed_ = false;
        return true;
    } catch (std::exception const& e) {
        bool firstFailure = false;
        {
            std::lock_guard lock(mutex_);
            endedLocked(provider.get());
            firstFailure = !std::exchange(launchFailed_, true); // once until a thread starts again
        }
        if (firstFailure)
            logSev<kLogWarning>("cannot start a search thread for {}: {}; searches fail until threads can be started "
                                "again",
                                provider->fileName(), e.what());
        return false;
    }
}

void SearchHandler::run(std::shared_ptr<AsyncEvent const> request, std::shared_ptr<Plugin> provider,
                        std::shared_ptr<void const> ticket) {
    auto const self = std::this_thread::get_id();
    Plugin const* const key = provider.get(); // only a key once the plugin is let go
    try {
        auto record = std::make_shared<StoredProvider>();
        {
            std::lock_guard lock(mutex_);
            providers_.emplace(self, std::move(record));
            providerCount_.store(providers_.size());
        }
        provider->OnSearch(*request, ticket);
    } catch (...) {
        // A search thread ends quietly whatever happened in it.
    }
    // Let go of the plugin and the request before shutdown may see this thread
    // as gone: after the unlock below nothing here touches the core.
    ticket.reset();
    request.reset();
    provider.reset();
    std::lock_guard lock(mutex_);
    providers_.erase(self);
    providerCount_.store(providers_.size());
    endedLocked(key);
}

int SearchHandler::admitResult(unsigned long requestId, char const* payload) {
    std::shared_ptr<StoredProvider> me;
    {
        std::lock_guard lock(mutex_);
        if (cancelledLocked(requestId)) return 1;
        auto it = providers_.find(std::this_thread::get_id());
        if (it == providers_.end() || !it->second) return 1;
        me = it->second;
    }
    if (!payload) return 0;
    std::unique_lock lock(me->mutex);
    me->released.wait(lock, [&] { return me->pending == nullptr || stopping_.load(); });
    if (stopping_.load()) return 1;
    me->pending = payload;
    return 0;
}

void SearchHandler::released(char const* payload) {
    if (!payload || providerCount_.load() == 0) return;
    std::lock_guard lock(mutex_);
    for (auto const& [id, p] : providers_) {
        if (!p) continue;
        std::lock_guard plock(p->mutex);
        if (p->pending == payload) {
            p->pending = nullptr;
            p->released.notify_one();
        }
    }
}

void SearchHandler::stop() {
    std::lock_guard lock(mutex_);
    stopping_.store(true);
    for (auto const& [id, p] : providers_) {
        if (!p) continue;
        std::lock_guard plock(p->mutex); // a waiter checks the flag under this mutex
        p->released.notify_all();
    }
}

bool SearchHandler::waitIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (ox::plugin::waitReporting(lock, idle_, deadline, [&] { return running_ == 0; },
                                  [&](std::unique_lock<std::mutex>& held) {
                                      size_t const left = running_;
                                      held.unlock(); // logging posts an event; never under this mutex
                                      logSev<kLogNotice>("waiting for {} search thread(s) to end", left);
                                      held.lock();
                                  }))
        return true;
    size_t const left = running_;
    lock.unlock();
    logSev<kLogWarning>("stop deadline passed with {} search thread(s) still running", left);
    return false;
}

