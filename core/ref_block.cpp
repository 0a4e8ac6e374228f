#include "core/ref_block.h"
#include "core/block_cache.h"
#include "core/live_blocks.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

namespace oxmem {

Stats stats{}; // zero before main: counts are valid from the first event on

namespace {
// The payload starts on a cache-line boundary; the header takes the 8 bytes
// directly in front of it.
constexpr size_t kPayloadAlign = 64;
// Bytes in front of the payload: the offset word, the size class, the holder
// marks, then the 8-byte header.
constexpr size_t kPrefix = 8 + sizeof(RefBlockHolders) + sizeof(RefBlockHeader);
// Blocks below this size come from the heap, not from a mapping of their own:
// a fresh mapping faults in every page on the first copy and is unmapped on
// free (a 1 MiB block ran at under a fifth of a plain copy that way).
constexpr int kHeapBlockLimit = 4 * 1024 * 1024;
// Free memory a heap keeps at its top before giving it back. With the 128 KiB
// default the memory of a burst of large payloads went back at once and the
// next burst faulted it in again; bounded for the appliance's memory.
constexpr int kHeapKeepLimit = 8 * 1024 * 1024;
} // namespace

namespace {

/// Lays the block out in an allocation: the offset word and the size class,
/// the holder marks (none) and the header (count 0). Before the block is
/// registered: a decref that finds it must find no mark.
char* layOut(char* base, uint32_t length, uint32_t cls) noexcept {
    auto const at = (reinterpret_cast<uintptr_t>(base) + kPrefix + kPayloadAlign - 1) & ~uintptr_t{kPayloadAlign - 1};
    char* payload = base + (at - reinterpret_cast<uintptr_t>(base));
    uint32_t const prefix[2] = {static_cast<uint32_t>(payload - base), cls};
    std::memcpy(payload - kPrefix, prefix, sizeof prefix);
    new (payload - sizeof(RefBlockHeader)) RefBlockHeader{length + 8u, {0}};
    new (holdersOf(payload)) RefBlockHolders{};
    return payload;
}

size_t allocationBytes(uint32_t length, uint32_t cls) noexcept {
    return (cls == kNoClass ? length : blockClassCapacity(cls)) + kPrefix + kPayloadAlign - 1;
}

} // namespace

char* allocRefBlock(uint32_t length) noexcept {
    if (length > UINT32_MAX - kPrefix - kPayloadAlign) return nullptr; // the size word would wrap
    // Blocks of the cached sizes are rounded up to their class, so that a
    // released block serves the next payload of a similar size.
    uint32_t const cls = blockClassOf(length);
    size_t const bytes = allocationBytes(length, cls);
    char* payload = nullptr;
    if (cls != kNoClass) {
        // One lock: the kept block is taken, laid out and registered.
        std::lock_guard lock(blockLock());
        if (char* base = static_cast<char*>(takeCachedBlockLocked(cls, bytes))) {
            payload = layOut(base, length, cls);
            if (!registerBlockLocked(payload)) {
                void* none = nullptr;
                keepCachedBlockLocked(cls, base, bytes, none); // it came from there, it fits again
                return nullptr;
            }
        }
    }
    if (!payload) {
        // A plain malloc aligned by hand: memalign's split-off remainders cost
        // more than the copy saves on large payloads.
        char* base = static_cast<char*>(std::malloc(bytes));
        if (!base) return nullptr;
        payload = layOut(base, length, cls);
        bool registered = false;
        {
            std::lock_guard lock(blockLock());
            registered = registerBlockLocked(payload);
        }
        if (!registered) {
            std::free(base);
            return nullptr;
        }
    }
    // Statistics: nothing is ordered by them.
    stats.blocks.fetch_add(1, std::memory_order_relaxed);
    stats.bytes.fetch_add(length + 8u, std::memory_order_relaxed);
    return payload;
}

void freeRefBlockLocked(char* payload, void*& toFree) noexcept {
    RefBlockHeader* header = headerOf(payload);
    stats.blocks.fetch_sub(1, std::memory_order_relaxed);
    stats.bytes.fetch_sub(header->size, std::memory_order_relaxed);
    uint32_t prefix[2];
    std::memcpy(prefix, payload - kPrefix, sizeof prefix);
    char* base = payload - prefix[0];
    uint32_t const cls = prefix[1];
    // From here a decref of this pointer is refused; then the block is kept or given back.
    unregisterBlockLocked(payload);
    header->~RefBlockHeader();
    holdersOf(payload)->~RefBlockHolders();
    if (cls == kNoClass || !keepCachedBlockLocked(cls, base, allocationBytes(0, cls), toFree)) chainToFree(base, toFree);
}

void freeRefBlock(char* payload) noexcept {
    void* toFree = nullptr;
    {
        std::lock_guard lock(blockLock());
        freeRefBlockLocked(payload, toFree);
    }
    freeEvicted(toFree);
}

namespace {
struct Hook {
    ReleaseHook hook;
    void* context;
};
Hook g_hook{nullptr, nullptr}; // written while nothing is released (start-up, shutdown)
} // namespace

void setReleaseHook(ReleaseHook hook, void* context) noexcept { g_hook = {hook, context}; }

void addRef(char const* payload, unsigned pluginId) noexcept {
    if (!payload) return;
    // Relaxed: a new reference comes from one already held, which keeps the
    // block alive; nothing is published by the count going up.
    headerOf(payload)->refCount.fetch_add(1, std::memory_order_relaxed);
    stats.refs[pluginId & 0xFF].fetch_add(1, std::memory_order_relaxed);
}

char* releaseKeepingBlock(char const* payload, unsigned pluginId) noexcept {
    if (!payload) return nullptr;
    stats.refs[pluginId & 0xFF].fetch_sub(1, std::memory_order_relaxed);
    // Acquire-release: this holder's reads and writes of the payload come
    // before the count drops, and the last holder sees every other's before
    // the block is handed out again. (Not release and a fence on the last:
    // ThreadSanitizer does not see fences.)
    if (headerOf(payload)->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return nullptr;
    // Before the block can be handed out again: a later payload at the same
    // address must not be mistaken for this one.
    if (g_hook.hook) g_hook.hook(payload, g_hook.context);
    // Still registered, with no holder mark and no count: a stale decref
    // that finds it is refused, and nothing else touches it until it is freed.
    return const_cast<char*>(payload);
}

void release(char const* payload, unsigned pluginId) noexcept {
    if (char* const last = releaseKeepingBlock(payload, pluginId)) freeRefBlock(last);
}

void keepPayloadBlocksInHeap() noexcept {
    // Fixed values also stop glibc's dynamic threshold from growing to 32 MiB.
    // On 32-bit glibc a thread's own arena cannot hold a block near 1 MiB and
    // still maps it; the main arena and smaller blocks benefit there too.
    ::mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);
    ::mallopt(M_TRIM_THRESHOLD, kHeapKeepLimit);
}

} // namespace oxmem
