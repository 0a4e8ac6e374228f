// Recently released payload blocks, kept for the next post of a similar size.
// A poster that copies into a block the dispatcher has just released writes
// to memory still in cache; the allocator itself hands large blocks back
// oldest first, so a busy queue otherwise copies at the speed of memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace oxmem {

/// Payload lengths from kCachedFrom to kCachedTo are rounded up to a size
/// class (steps of a quarter of a power of two) and their blocks are cached.
constexpr uint32_t kCachedFrom = 16 * 1024;
constexpr uint32_t kCachedTo = 4 * 1024 * 1024;
constexpr uint32_t kNoClass = UINT32_MAX;
/// Bound on the memory the cache holds, and on the blocks it keeps per class.
constexpr size_t kCacheBytes = 4 * 1024 * 1024;
constexpr size_t kCachePerClass = 32;

/// Size class of a payload length; kNoClass outside the cached range.
uint32_t blockClassOf(uint32_t length) noexcept;
/// Largest payload a block of the class holds.
uint32_t blockClassCapacity(uint32_t cls) noexcept;

/// The most recently kept allocation of the class (`bytes` long), or null.
void* takeCachedBlock(uint32_t cls, size_t bytes) noexcept;
/// Keeps an allocation of the class for reuse; false (nothing kept) when the
/// class or the cache is full.
bool keepCachedBlock(uint32_t cls, void* base, size_t bytes) noexcept;
/// Gives every kept allocation back to the allocator (memory is short, or the core ends).
void releaseCachedBlocks() noexcept;
/// Bytes held by kept allocations.
size_t cachedBlockBytes() noexcept;

} // namespace oxmem
