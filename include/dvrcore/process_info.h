// For plugin authors: what the core executable exports for plugins to read
// besides its object (dvrcore/core_api.h): the parent daemon's user and the
// payload accounting. Self-contained C++ (these names have C++ linkage); the
// definitions come from the core executable at load time.
#ifndef OX_CORE_PROCESS_INFO_H
#define OX_CORE_PROCESS_INFO_H

#ifndef __cplusplus
#error "dvrcore/process_info.h is C++: GetParentUid and oxmem::stats have C++ linkage"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>

/// Real user id of the parent process, or 0 when it cannot be read. Any thread.
unsigned GetParentUid();

namespace oxmem {

/// Global payload accounting: the core's reference blocks (one per queued
/// payload) and the references held on them. Every counter changes only by
/// atomic read-modify-write; plugins only read them. The layout, gaps
/// included, is fixed: plugins bind to it by name.
struct Stats {
    std::atomic<uint32_t> blocks; ///< reference blocks alive
    char gap1[64];
    std::atomic<uint32_t> bytes; ///< size words of the live blocks (payload + 8 each)
    char gap2[64];
    std::atomic<uint32_t> refs[256]; ///< references held, per plugin id (0: the queue's and the core's)
};
static_assert(sizeof(std::atomic<uint32_t>) == 4, "a counter is one 32-bit word");
static_assert(offsetof(Stats, blocks) == 0, "blocks");
static_assert(offsetof(Stats, gap1) == 4, "gap1");
static_assert(offsetof(Stats, bytes) == 68, "bytes");
static_assert(offsetof(Stats, gap2) == 72, "gap2");
static_assert(offsetof(Stats, refs) == 136, "refs");
static_assert(sizeof(Stats) == 136 + 256 * 4, "Stats");

/// The core's one instance, zero at start.
extern Stats stats;

} // namespace oxmem

#endif /* OX_CORE_PROCESS_INFO_H */
