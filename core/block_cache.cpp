#include "core/block_cache.h"

#include <array>
#include <bit>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// A kept block is poisoned but for its link word: a plugin that touches a
// payload after releasing it is still caught, as it would be after a real free.
#define OX_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define OX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define OX_POISON(p, n) ((void)(p), (void)(n))
#define OX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace oxmem {

namespace {

constexpr unsigned kFirstExponent = std::countr_zero(kCachedFrom);
constexpr unsigned kSteps = 4; // classes per power of two
constexpr uint32_t kClasses = (std::countr_zero(kCachedTo) - kFirstExponent) * kSteps + 1;

/// A kept allocation's first word links it to the next one of its class, so
/// keeping any number of them allocates nothing.
struct Kept {
    Kept* next;
};

struct Cache {
    std::mutex mutex;                   ///< also the live-block registry's
    std::array<Kept*, kClasses> top{};  ///< under mutex; per class, newest first
    std::array<size_t, kClasses> bytes{}; ///< under mutex; allocation size per class
    size_t held = 0;                    ///< under mutex
};

Cache& cache() {
    static Cache c; // ready before the first block is kept, whatever the order of start-up
    return c;
}

void poisonKept(void* base, size_t bytes) {
    OX_POISON(static_cast<char*>(base) + sizeof(Kept), bytes - sizeof(Kept));
}

} // namespace

uint32_t blockClassOf(uint32_t length) noexcept {
    if (length > kCachedTo) return kNoClass;
    if (length <= kCachedFrom) return 0;
    // 2^e < length <= 2^(e+1); the class is the first quarter step at or above it.
    unsigned const e = static_cast<unsigned>(std::bit_width(length - 1)) - 1;
    uint32_t const step = uint32_t{1} << (e - 2);
    uint32_t const j = (length - (uint32_t{1} << e) + step - 1) / step; // 1..4
    return (e - kFirstExponent) * kSteps + j;
}

uint32_t blockClassCapacity(uint32_t cls) noexcept {
    unsigned const e = kFirstExponent + cls / kSteps;
    uint32_t const j = cls % kSteps;
    return (uint32_t{1} << e) + j * (uint32_t{1} << (e - 2));
}

std::mutex& blockLock() noexcept { return cache().mutex; }

void* takeCachedBlockLocked(uint32_t cls, size_t bytes) noexcept {
    Cache& c = cache();
    Kept* const kept = c.top[cls];
    if (!kept) return nullptr;
    c.top[cls] = kept->next;
    c.held -= bytes;
    OX_UNPOISON(kept, bytes);
    return kept;
}

bool keepCachedBlockLocked(uint32_t cls, void* base, size_t bytes, void*& evicted) noexcept {
    Cache& c = cache();
    if (bytes > kCacheBytes) return false;
    // Full of other sizes: those go, so that the sizes in use now are served
    // (a camera that changes its resolution must not leave the cache to the old one).
    Kept* out = static_cast<Kept*>(evicted);
    for (uint32_t other = 0; other < kClasses && c.held + bytes > kCacheBytes; ++other) {
        while (other != cls && c.top[other] && c.held + bytes > kCacheBytes) {
            Kept* const k = c.top[other];
            OX_UNPOISON(k, c.bytes[other]);
            c.top[other] = k->next;
            c.held -= c.bytes[other];
            k->next = out;
            out = k;
        }
    }
    evicted = out;
    if (c.held + bytes > kCacheBytes) return false;
    auto* kept = static_cast<Kept*>(base);
    kept->next = c.top[cls];
    poisonKept(base, bytes); // before another thread can take it and unpoison it
    c.top[cls] = kept;
    c.bytes[cls] = bytes;
    c.held += bytes;
    return true;
}

void releaseCachedBlocks() noexcept {
    Cache& c = cache();
    std::array<Kept*, kClasses> taken{};
    std::array<size_t, kClasses> sizes{};
    {
        std::lock_guard lock(c.mutex);
        taken = c.top;
        sizes = c.bytes;
        c.top.fill(nullptr);
        c.held = 0;
    }
    // Outside the lock: posts and releases go on meanwhile.
    for (uint32_t cls = 0; cls < kClasses; ++cls) {
        for (Kept* k = taken[cls]; k;) {
            Kept* const next = k->next;
            OX_UNPOISON(k, sizes[cls]);
            std::free(k);
            k = next;
        }
    }
}

void chainToFree(void* allocation, void*& toFree) noexcept {
    auto* const k = static_cast<Kept*>(allocation);
    k->next = static_cast<Kept*>(toFree);
    toFree = k;
}

void freeEvicted(void* evicted) noexcept {
    for (auto* k = static_cast<Kept*>(evicted); k;) {
        Kept* const next = k->next;
        std::free(k);
        k = next;
    }
}

size_t cachedBlockBytes() noexcept {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    return c.held;
}

} // namespace oxmem
