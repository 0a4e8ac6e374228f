// Queueing: the payload is copied once into a reference block and the record
// is queued by value with the queue's own reference.
#include "core/dvr_core.h"
#include "core/live_blocks.h"
#include "core/ref_block.h"
#include "log/log.h"

#include <cstring>

using ox::core::EventParms;

int DvrCore::queueEvent(EventParms& rec) {
    oxmem::RefBlockGuard block(rec.dataLen != 0 ? oxmem::allocRefBlock(rec.dataLen) : nullptr);
    if (rec.dataLen != 0) {
        // Refuse rather than deliver a record whose payload silently vanished.
        if (!block.get()) return 1;
        std::memcpy(block.get(), rec.data, rec.dataLen);
    }

    // Search results: refused once cancelled or from a thread that is no search
    // thread; otherwise wait until this thread's previous payload is released.
    bool const fromPlugin = rec.source == ox::core::kCoreAddress || ox::core::pluginIdOf(rec.source) != 0;
    if (fromPlugin && rec.requestId != 0) {
        if (search_.admitResult(rec.requestId, block.get()) != 0) return 1;
        counters_.searchResults.fetch_add(1, std::memory_order_relaxed);
        counters_.searchResultBytes.fetch_add(rec.dataLen, std::memory_order_relaxed);
    }

    // The queue's own reference; the record is copied straight into the queue.
    char* const payload = block.release();
    if (payload) incRef(payload, 0);

    bool closed = false;
    try {
        std::lock_guard lock(queueMutex_);
        // Decided under the lock: a record appended here is one the dispatcher
        // has yet to see, because it returns only under this lock.
        closed = queueClosed_;
        if (closed) {
            if (rec.source == ox::core::kCoreAddress) ++lateCoreRecords_; // nobody else learns of it
        } else {
            EventParms& queued = queue_.emplace_back(rec);
            queued.data = payload;
            if (payload) {
                auto& bytes = queuedBytes_[ox::core::pluginIdOf(rec.source)];
                bytes.store(bytes.load(std::memory_order_relaxed) + rec.dataLen, std::memory_order_relaxed);
            } else {
                queued.dataLen = 0;
            }
            queueLength_.store(queue_.size(), std::memory_order_relaxed);
            // Notified under the lock: once the dispatcher has drained the queue at
            // shutdown, no poster can still be touching the condition variable.
            queueCv_.notify_one();
        }
    } catch (...) {
        if (payload) decRef(payload, 0); // frees the copy and wakes a search thread paced on it
        throw;
    }
    if (closed) {
        if (payload) decRef(payload, 0);
        return 1;
    }
    return 0;
}

std::vector<EventParms> DvrCore::queuedSnapshot() {
    std::lock_guard lock(queueMutex_);
    return {queue_.begin(), queue_.end()};
}

void DvrCore::incRef(char const* payload, unsigned pluginId) {
    if (!payload) return;
    oxmem::headerOf(payload)->refCount.fetch_add(1);
    oxmem::stats.refs[pluginId & 0xFF].fetch_add(1);
}

int DvrCore::decRef(char const* payload, unsigned pluginId) {
    if (!payload) return 0;
    oxmem::stats.refs[pluginId & 0xFF].fetch_sub(1);
    if (oxmem::headerOf(payload)->refCount.fetch_sub(1) != 1) return 0;
    // Wake the search thread paced on this payload before the block can be
    // handed out again: a later result at the same address must not be
    // mistaken for this one.
    search_.released(payload);
    oxmem::freeRefBlock(const_cast<char*>(payload));
    return 0;
}

void DvrCore::holdFor(char const* payload, unsigned pluginId) {
    oxmem::markHolder(payload, pluginId & 0xFF);
    incRef(payload, pluginId);
}

void DvrCore::releaseFor(char const* payload, unsigned pluginId) {
    // The plugin may already have given it back with a decref of its own.
    if (oxmem::clearHolder(payload, pluginId & 0xFF)) decRef(payload, pluginId);
}

int DvrCore::releaseKept(char const* payload, unsigned pluginId) {
    if (!payload) return 0;
    pluginId &= 0xFF;
    if (!oxmem::takeHolderMark(payload, pluginId)) {
        // A second release, a pointer never handed out, or one into a payload:
        // refused before anything is touched, and reported once per plugin.
        if (!badReleaseReported_[pluginId].exchange(true, std::memory_order_relaxed))
            logSev<kLogNotice>("Plugin {:02x}:{} released a payload reference it does not hold; refused", pluginId,
                                pluginName(pluginId));
        return 1;
    }
    return decRef(payload, pluginId);
}
