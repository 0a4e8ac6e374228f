// Which plugin files the core loads, and in which order.
#pragma once

#include <filesystem>
#include <vector>

namespace ox::plugin {

/// The log plugin, loaded on its own from "plugins" before all others.
inline constexpr char const* kLogPluginName = "LogPI.so";

/// The ".so" files under `binDir`'s "protected-plugins" and "plugins" folders
/// (a name in both loads from the first), without the log plugin; files whose
/// path holds the early mark first, then by name without regard to case.
std::vector<std::filesystem::path> discoverPlugins(std::filesystem::path const& binDir);

} // namespace ox::plugin
