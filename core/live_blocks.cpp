#include "core/live_blocks.h"
#include "core/block_cache.h"
#include "core/ref_block.h"

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

namespace oxmem {

namespace {

/// The set: open addressing with linear probing, kept at most half full,
/// deletion by shifting back (no tombstones). Allocates only when it grows,
/// never on the hot path of a block that is reused. Every member is under
/// blockLock().
class BlockTable {
public:
    // The lock is made first, so that it outlives the table at exit.
    BlockTable() noexcept { (void)blockLock(); }
    ~BlockTable() {
        // Blocks freed by later static destructors then find an empty table.
        std::lock_guard lock(blockLock());
        std::free(slots_);
        slots_ = nullptr;
        capacity_ = count_ = 0;
    }

    bool insert(uintptr_t key) noexcept {
        if ((count_ + 1) * 2 > capacity_ && !grow()) return false;
        place(key);
        ++count_;
        return true;
    }

    void erase(uintptr_t key) noexcept {
        if (capacity_ == 0) return;
        size_t const mask = capacity_ - 1;
        size_t i = slotOf(key) & mask;
        while (slots_[i] != key) {
            if (slots_[i] == 0) return;
            i = (i + 1) & mask;
        }
        // Shift later entries of the run back so lookups never stop early.
        size_t hole = i;
        for (size_t j = (i + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
            size_t const home = slotOf(slots_[j]) & mask;
            if (((j - home) & mask) >= ((j - hole) & mask)) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = 0;
        --count_;
    }

    template <typename Fn>
    bool withMember(uintptr_t key, Fn&& fn) noexcept {
        if (capacity_ == 0) return false;
        size_t const mask = capacity_ - 1;
        for (size_t i = slotOf(key) & mask; slots_[i] != 0; i = (i + 1) & mask)
            if (slots_[i] == key) return fn();
        return false;
    }

    static uint64_t hashOf(uintptr_t key) noexcept {
        return (static_cast<uint64_t>(key) >> 6) * 0x9E3779B97F4A7C15ull; // payloads are 64-byte aligned
    }

private:
    static size_t slotOf(uintptr_t key) noexcept { return static_cast<size_t>(hashOf(key)); }

    void place(uintptr_t key) noexcept {
        size_t const mask = capacity_ - 1;
        size_t i = slotOf(key) & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = key;
    }

    bool grow() noexcept {
        size_t const wanted = capacity_ == 0 ? 64 : capacity_ * 2;
        auto* fresh = static_cast<uintptr_t*>(std::calloc(wanted, sizeof(uintptr_t)));
        if (!fresh) return false;
        uintptr_t* old = slots_;
        size_t const oldCapacity = capacity_;
        slots_ = fresh;
        capacity_ = wanted;
        for (size_t i = 0; i < oldCapacity; ++i)
            if (old[i] != 0) place(old[i]);
        std::free(old);
        return true;
    }

    uintptr_t* slots_ = nullptr; ///< 0 = empty
    size_t capacity_ = 0;        ///< a power of two
    size_t count_ = 0;
};

BlockTable g_table; ///< under blockLock()

} // namespace

bool registerBlockLocked(char const* payload) noexcept {
    return !ox::core::safety.registry || g_table.insert(reinterpret_cast<uintptr_t>(payload));
}

void unregisterBlockLocked(char const* payload) noexcept {
    if (ox::core::safety.registry) g_table.erase(reinterpret_cast<uintptr_t>(payload));
}

bool takeHolderMark(char const* payload, unsigned pluginId) noexcept {
    // Acquire: the dispatcher counted the reference before it set the mark.
    auto const take = [&] { return !ox::core::safety.holderMarks || clearHolder(payload, pluginId, std::memory_order_acquire); };
    if (!ox::core::safety.registry) return take(); // benchmark-only: the pointer is trusted
    auto const key = reinterpret_cast<uintptr_t>(payload);
    std::lock_guard lock(blockLock());
    return g_table.withMember(key, take);
}

} // namespace oxmem
