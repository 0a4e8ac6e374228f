// Reference blocks: the core's one copy of a queued payload, shared by the
// queue and every consumer, with an atomic count of holders. The header sits
// directly in front of the payload, which is 64-byte aligned so that copies in
// and out of it run at full speed.
#pragma once

#include "core/safety_switches.h"
#include "dvrcore/process_info.h" // oxmem::Stats and oxmem::stats

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace oxmem {

/// Header in front of the payload.
struct RefBlockHeader {
    uint32_t size;                  ///< payload length + 8
    std::atomic<uint32_t> refCount; ///< current holders
};
static_assert(sizeof(RefBlockHeader) == 8);

/// Which plugins hold a reference to the block: one bit per plugin id, set
/// while the block is delivered to that plugin and kept while it keeps it.
struct RefBlockHolders {
    std::atomic<uint32_t> bits[8];
};
static_assert(sizeof(RefBlockHolders) == 32);

/// Allocates a block for `length` payload bytes (count 0, accounted); null when
/// memory is short. Blocks up to 4 MiB may be recently released ones.
char* allocRefBlock(uint32_t length) noexcept;
/// Takes a block out of the accounting and frees it, or keeps it for the next
/// payload of its size class (core/block_cache.h).
void freeRefBlock(char* payload) noexcept;
/// freeRefBlock for a caller that holds blockLock(): an allocation to be
/// given back to the allocator is chained onto `toFree`, for freeEvicted
/// (core/block_cache.h) once the lock is let go.
void freeRefBlockLocked(char* payload, void*& toFree) noexcept;
/// Once at start-up: lets the allocator serve payload blocks up to a few MiB
/// from its heap instead of a fresh mapping per block.
void keepPayloadBlocksInHeap() noexcept;

inline RefBlockHeader* headerOf(char const* payload) noexcept {
    // The payload is 64-byte aligned, so the header in front of it is aligned too.
    return static_cast<RefBlockHeader*>(static_cast<void*>(const_cast<char*>(payload) - sizeof(RefBlockHeader)));
}

inline RefBlockHolders* holdersOf(char const* payload) noexcept {
    return static_cast<RefBlockHolders*>(
        static_cast<void*>(const_cast<char*>(payload) - sizeof(RefBlockHeader) - sizeof(RefBlockHolders)));
}
/// Sets the plugin's holder mark (the block is being delivered to it).
/// Release: a plugin thread that finds the mark (acquire) also finds the
/// reference counted before it, and never releases one not yet taken.
inline void markHolder(char const* payload, unsigned pluginId) noexcept {
    holdersOf(payload)->bits[(pluginId >> 5) & 7].fetch_or(1u << (pluginId & 31), std::memory_order_release);
}
/// Clears the plugin's holder mark; true when it was set, so exactly one
/// release wins when the dispatcher and the plugin both try. The dispatcher,
/// which set the mark itself, needs no ordering; a plugin's decref acquires.
inline bool clearHolder(char const* payload, unsigned pluginId,
                        std::memory_order order = std::memory_order_relaxed) noexcept {
    uint32_t const bit = 1u << (pluginId & 31);
    return (holdersOf(payload)->bits[(pluginId >> 5) & 7].fetch_and(~bit, order) & bit) != 0;
}

/// Called with a payload whose last reference has just gone, before its block
/// can be handed out again (the search service wakes the thread paced on it).
using ReleaseHook = void (*)(char const* payload, void* context);
/// Installs the hook (null removes it); set while no reference can be released.
void setReleaseHook(ReleaseHook hook, void* context) noexcept;

/// A reference to `payload` (null: nothing), counted for plugin id `pluginId` (0: the core).
void addRef(char const* payload, unsigned pluginId) noexcept;
/// Gives back a reference; the last one runs the release hook and frees the block.
void release(char const* payload, unsigned pluginId) noexcept;
/// As release, but a block whose last reference this was is not freed: once
/// the release hook has run it is returned (else null), for the caller to
/// free later with freeRefBlockLocked. The dispatcher frees the queue's
/// blocks so, in the critical section in which it takes the next record.
char* releaseKeepingBlock(char const* payload, unsigned pluginId) noexcept;
/// A delivery's reference, with the plugin's holder mark. Counted first: a
/// stale decref that finds the mark before the count would take the queue's
/// reference instead of the plugin's.
inline void holdFor(char const* payload, unsigned pluginId) noexcept {
    addRef(payload, pluginId);
    if (ox::core::safety.holderMarks) markHolder(payload, pluginId & 0xFF);
}
/// Gives back a delivery's reference unless the plugin already did (its mark is gone).
inline void releaseFor(char const* payload, unsigned pluginId) noexcept {
    if (!ox::core::safety.holderMarks || clearHolder(payload, pluginId & 0xFF)) release(payload, pluginId);
}

/// Owns a block until it is handed over; frees it on every other path.
class RefBlockGuard {
public:
    explicit RefBlockGuard(char* payload) noexcept : payload_(payload) {}
    RefBlockGuard(RefBlockGuard const&) = delete;
    RefBlockGuard& operator=(RefBlockGuard const&) = delete;
    ~RefBlockGuard() {
        if (payload_) freeRefBlock(payload_);
    }
    char* get() const noexcept { return payload_; }
    char* release() noexcept { return std::exchange(payload_, nullptr); }
    /// Owns `payload` instead, freeing the one before if it still has one.
    void reset(char* payload) noexcept {
        if (payload_) freeRefBlock(payload_);
        payload_ = payload;
    }

private:
    char* payload_;
};

} // namespace oxmem
