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

char* allocRefBlock(uint32_t length) noexcept {
    if (length > UINT32_MAX - kPrefix - kPayloadAlign) return nullptr; // the size word would wrap
    // Blocks of the cached sizes are rounded up to their class, so that a
    // released block serves the next payload of a similar size.
    uint32_t const cls = blockClassOf(length);
    size_t const capacity = cls == kNoClass ? length : blockClassCapacity(cls);
    size_t const bytes = capacity + kPrefix + kPayloadAlign - 1;
    // A plain malloc aligned by hand: memalign's split-off remainders cost more
    // than the copy saves on large payloads.
    char* base = nullptr;
    if (cls != kNoClass) base = static_cast<char*>(takeCachedBlock(cls, bytes));
    if (!base) base = static_cast<char*>(std::malloc(bytes));
    if (!base) return nullptr;
    auto const at = (reinterpret_cast<uintptr_t>(base) + kPrefix + kPayloadAlign - 1) & ~uintptr_t{kPayloadAlign - 1};
    char* payload = base + (at - reinterpret_cast<uintptr_t>(base));
    // In front of the header: the offset back to the allocation and the size class.
    uint32_t const prefix[2] = {static_cast<uint32_t>(payload - base), cls};
    std::memcpy(payload - kPrefix, prefix, sizeof prefix);
    auto* header = new (payload - sizeof(RefBlockHeader)) RefBlockHeader{length + 8u, {0}};
    auto* holders = new (holdersOf(payload)) RefBlockHolders{};
    if (!registerBlock(payload)) {
        holders->~RefBlockHolders();
        header->~RefBlockHeader();
        if (cls == kNoClass || !keepCachedBlock(cls, base, bytes)) std::free(base);
        return nullptr;
    }
    stats.blocks.fetch_add(1);
    stats.bytes.fetch_add(header->size);
    return payload;
}

void freeRefBlock(char* payload) noexcept {
    unregisterBlock(payload); // first: a decref of this pointer is refused from now on
    RefBlockHeader* header = headerOf(payload);
    stats.blocks.fetch_sub(1);
    stats.bytes.fetch_sub(header->size);
    header->~RefBlockHeader();
    holdersOf(payload)->~RefBlockHolders();
    uint32_t prefix[2];
    std::memcpy(prefix, payload - kPrefix, sizeof prefix);
    char* base = payload - prefix[0];
    uint32_t const cls = prefix[1];
    if (cls != kNoClass && keepCachedBlock(cls, base, blockClassCapacity(cls) + kPrefix + kPayloadAlign - 1)) return;
    std::free(base);
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
    headerOf(payload)->refCount.fetch_add(1);
    stats.refs[pluginId & 0xFF].fetch_add(1);
}

void release(char const* payload, unsigned pluginId) noexcept {
    if (!payload) return;
    stats.refs[pluginId & 0xFF].fetch_sub(1);
    if (headerOf(payload)->refCount.fetch_sub(1) != 1) return;
    // Before the block can be handed out again: a later payload at the same
    // address must not be mistaken for this one.
    if (g_hook.hook) g_hook.hook(payload, g_hook.context);
    freeRefBlock(const_cast<char*>(payload));
}

void keepPayloadBlocksInHeap() noexcept {
    // Fixed values also stop glibc's dynamic threshold from growing to 32 MiB.
    // On 32-bit glibc a thread's own arena cannot hold a block near 1 MiB and
    // still maps it; the main arena and smaller blocks benefit there too.
    ::mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);
    ::mallopt(M_TRIM_THRESHOLD, kHeapKeepLimit);
}

} // namespace oxmem
