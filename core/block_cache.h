// Recently released payload blocks, kept for the next post of a similar size.
// A poster that copies into a block the dispatcher has just released writes
// to memory still in cache, and a queue in steady use calls the allocator
// not at all. The cache keeps every block released while it is under its
// bound in bytes, so it holds as many blocks of a class as were alive at once
// (the backlog it serves); it is given back when memory is short and after
// an idle second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace oxmem {

/// Payload lengths up to kCachedTo are rounded up to a size class (steps of a
/// quarter of a power of two; everything up to kCachedFrom is one class).
constexpr uint32_t kCachedFrom = 64;
constexpr uint32_t kCachedTo = 4 * 1024 * 1024;
constexpr uint32_t kNoClass = UINT32_MAX;
/// Bound on the memory the cache holds: twice the batch a burst of frames
/// piles up behind a busy dispatcher, a twelfth of the smallest appliance's limit.
constexpr size_t kCacheBytes = 16 * 1024 * 1024;

/// Size class of a payload length; kNoClass above the cached range.
uint32_t blockClassOf(uint32_t length) noexcept;
/// Largest payload a block of the class holds.
uint32_t blockClassCapacity(uint32_t cls) noexcept;

/// The one lock of the event path: the kept blocks, the live-block registry
/// (core/live_blocks.h) and the event queue (core/event_queue.h). A post takes
/// it once to take a block and register it and once to queue the record; the
/// dispatcher once per record, to take it and to give back the block of the
/// record before.
std::mutex& blockLock() noexcept;
/// The most recently kept allocation of the class (`bytes` long), or null;
/// the caller holds blockLock().
void* takeCachedBlockLocked(uint32_t cls, size_t bytes) noexcept;
/// Keeps an allocation of the class for reuse, making room by giving up kept
/// allocations of other classes, which are chained onto `evicted` for the
/// caller to hand to freeEvicted once it has let go of the lock; false
/// (nothing kept) when the class itself fills the cache. The caller holds blockLock().
bool keepCachedBlockLocked(uint32_t cls, void* base, size_t bytes, void*& evicted) noexcept;
/// Chains an allocation that is not kept onto `toFree`, through its first word.
void chainToFree(void* allocation, void*& toFree) noexcept;
/// Frees a chain of allocations (null: nothing); without the lock.
void freeEvicted(void* evicted) noexcept;
/// Gives every kept allocation back to the allocator (memory is short, the
/// queue went idle, or the core ends). Takes blockLock() itself.
void releaseCachedBlocks() noexcept;
/// Bytes held by kept allocations.
size_t cachedBlockBytes() noexcept;

} // namespace oxmem
