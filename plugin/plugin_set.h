// The plugins of the process: the ones in event order, the ones that failed to
// load, their names, and the log plugin.
#pragma once

#include "plugin/plugin.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ox::plugin {

/// Threads: the main thread loads, opens, closes and unloads, and changes the
/// list only under mutex_. The dispatcher walks the list without the lock
/// (inOrder), since the list does not change while it runs; every other
/// thread looks plugins up under the lock and never calls a plugin under it.
class PluginSet {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    /// Told which plugin call the shutdown is in, for a watch that ends a stop gone past its deadline.
    using StepFn = std::function<void(Plugin const& plugin, char const* step)>;

    PluginSet();

    /// The log plugin, loaded and opened by the core before the others.
    void setLogPlugin(std::shared_ptr<Plugin> plugin);
    std::shared_ptr<Plugin> logPlugin() const;

    /// True once a stop was requested: start-up then loads and opens no further plugin.
    using StopFn = std::function<bool()>;

    /// Loads every plugin file in order (one per plugin id, the log plugin's
    /// included; the rest are unloaded again), then gives the plugins that
    /// asked for one their worker thread.
    void load(std::vector<std::filesystem::path> const& files, Plugin::Callback callback, std::string_view identity,
              StopFn const& stopped);
    /// Opens the plugins in event order; the log plugin then joins the end of the list.
    void open(StopFn const& stopped);
    /// Closes in close order, the log plugin left for closeLogPlugin; the
    /// early-release plugin is closed and unloaded first. False when that one
    /// stayed loaded at the deadline.
    bool close(Deadline deadline, StepFn const& step);
    /// Unloads in close order but the log plugin; false when one stayed loaded at the deadline.
    bool unload(Deadline deadline, StepFn const& step);
    /// Closes and unloads the log plugin, after every other plugin, so that
    /// their last lines reach its file; false when it stayed loaded.
    bool closeLogPlugin(Deadline deadline, StepFn const& step);

    /// The plugin with this plugin id (never the core's), or null.
    std::shared_ptr<Plugin> find(unsigned pluginId) const;
    /// The name registered for a plugin id ("core" for 0), if any.
    std::optional<std::string> name(unsigned pluginId) const;
    /// The file name cut before its first '.', of the plugin with this id: "Core" for 0, else "unknown".
    std::string shortName(unsigned pluginId) const;

    /// A copy of the list, for threads other than the dispatcher.
    std::vector<std::shared_ptr<Plugin>> snapshot() const;
    /// The list itself: dispatcher and main thread only, while it does not change.
    std::vector<std::shared_ptr<Plugin>> const& inOrder() const noexcept { return plugins_; }
    /// Plugins that failed to load, in load order; main thread.
    std::vector<std::shared_ptr<Plugin>> const& failed() const noexcept { return failed_; }

private:
    mutable std::shared_mutex mutex_;
    std::vector<std::shared_ptr<Plugin>> plugins_; ///< event order; changed under mutex_
    std::vector<std::shared_ptr<Plugin>> failed_;  ///< main thread
    std::unordered_map<uint32_t, std::string> names_; ///< changed under mutex_
    std::shared_ptr<Plugin> logPlugin_;               ///< under mutex_
};

} // namespace ox::plugin
