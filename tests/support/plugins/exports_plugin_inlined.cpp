// Part of the Exports test plugin, always optimised: here the pool's inline
// members are inlined, so this code calls the private helper they use,
// memory_pool<char>::grow, in the core directly, as any optimised plugin does.
// That is why the export list takes every member of the toolkit's instances.
#include "dvrcore/memory_pool.h"

namespace exports_plugin {

bool poolGrowsInline() {
    rapidxml::memory_pool<char> pool;
    void* const block = pool.alloc_aligned(rapidxml::memory_pool<char>::kInlineSize + 1);
    char* const chars = pool.allocChars(rapidxml::memory_pool<char>::kBlockSize + 1);
    return block != nullptr && chars != nullptr;
}

} // namespace exports_plugin
