#include "core/block_cache.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// A kept block is poisoned: a plugin that touches a payload after releasing it
// is still caught, as it would be after a real free.
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

struct Cache {
    std::mutex mutex;
    std::array<std::array<void*, kCachePerClass>, kClasses> blocks{}; ///< under mutex; per class, newest last
    std::array<uint8_t, kClasses> count{};                            ///< under mutex
    std::array<size_t, kClasses> bytes{};                             ///< under mutex; allocation size per class
    size_t held = 0;                                                  ///< under mutex
};

Cache& cache() {
    static Cache c; // ready before the first block is kept, whatever the order of start-up
    return c;
}

} // namespace

uint32_t blockClassOf(uint32_t length) noexcept {
    if (length < kCachedFrom || length > kCachedTo) return kNoClass;
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

void* takeCachedBlock(uint32_t cls, size_t bytes) noexcept {
    Cache& c = cache();
    void* base = nullptr;
    {
        std::lock_guard lock(c.mutex);
        if (c.count[cls] == 0) return nullptr;
        base = c.blocks[cls][--c.count[cls]];
        c.held -= bytes;
    }
    OX_UNPOISON(base, bytes);
    return base;
}

bool keepCachedBlock(uint32_t cls, void* base, size_t bytes) noexcept {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    if (c.count[cls] == kCachePerClass || c.held + bytes > kCacheBytes) return false;
    // Poisoned before another thread can take it and unpoison it.
    OX_POISON(base, bytes);
    c.blocks[cls][c.count[cls]++] = base;
    c.bytes[cls] = bytes;
    c.held += bytes;
    return true;
}

void releaseCachedBlocks() noexcept {
    Cache& c = cache();
    std::array<std::array<void*, kCachePerClass>, kClasses> taken{};
    std::array<uint8_t, kClasses> counts{};
    std::array<size_t, kClasses> sizes{};
    {
        std::lock_guard lock(c.mutex);
        taken = c.blocks;
        counts = c.count;
        sizes = c.bytes;
        c.count.fill(0);
        c.held = 0;
    }
    for (uint32_t cls = 0; cls < kClasses; ++cls) {
        for (uint8_t i = 0; i < counts[cls]; ++i) {
            OX_UNPOISON(taken[cls][i], sizes[cls]);
            std::free(taken[cls][i]);
        }
    }
}

size_t cachedBlockBytes() noexcept {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    return c.held;
}

} // namespace oxmem
