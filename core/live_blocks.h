// The payload blocks alive now. A pointer that a plugin hands back in a
// decref is looked up here before the core touches the memory in front of it:
// a pointer the core never handed out, one into the middle of a payload, or
// one whose block is already gone is refused without being dereferenced.
#pragma once

#include <cstdint>

namespace oxmem {

/// Adds a new block; false when the table cannot grow (memory is short). The
/// caller holds oxmem::blockLock() (core/block_cache.h), which the registry
/// shares with the kept blocks: a block is taken and registered in one step.
bool registerBlockLocked(char const* payload) noexcept;
/// Removes a block that is being freed; the caller holds oxmem::blockLock().
void unregisterBlockLocked(char const* payload) noexcept;
/// Clears plugin `pluginId`'s holder mark on `payload` when that is a live
/// block and the mark is set; false otherwise. The lookup and the mark are
/// one step under blockLock(), so the block cannot be freed in between.
bool takeHolderMark(char const* payload, unsigned pluginId) noexcept;

} // namespace oxmem
