// For plugin authors: the whole-file configuration store shared by the core
// and its plugins, exported by the core executable (C++ linkage).
// Saves go to "<path>.pending" first and replace the target by rename, so the
// target is never partly written; loads finish a save that stopped before its
// rename. Failures are thrown as std::runtime_error with the text
// "Failed to open|get size of|read|write|rename <path> - <reason>", the reason
// the system's error text or "not a regular file"; or "Failed - not xml content".
// No state, no locks: callers serialise saves of one path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oxcfg {

/// Suffix of the side file a save writes before renaming it over the target.
inline constexpr std::string_view kPendingSuffix = ".pending";

/// Largest file the store reads, and the largest XML text saveConfig stores.
/// Configuration documents are kilobytes; the bound keeps a damaged or
/// hostile file from costing its size in memory at every load.
inline constexpr std::size_t kMaxConfigSize = std::size_t{8} << 20;

/// Returns the XML text stored at path. A side file that is complete and
/// well-formed is promoted to the target and returned; otherwise the target
/// is read, checked and parsed, and any side file is deleted.
/// Throws std::runtime_error, or rapidxml::parse_error for a malformed target.
std::string loadConfig(std::string_view path);

/// Saves XML text (it must start with "<?xml") at path; throws
/// std::runtime_error("Failed - not xml content") without touching any file
/// otherwise.
void saveConfig(std::string_view path, std::string_view content);

/// Saves any bytes at path through the side file. Throws std::runtime_error;
/// the target is unchanged after a failure.
void saveConfigOpaque(std::string_view path, std::string_view content);

/// Reads a whole regular file of at most kMaxConfigSize bytes, its size taken
/// from the file status. Never blocks in open().
std::string readWholeFile(std::string const& path);

} // namespace oxcfg
