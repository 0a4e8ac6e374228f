// The checker playing the core for one plugin: loads it with the core's own
// loader, offers it a configuration document and events, runs searches, closes
// and unloads it, and reports what it saw. Runs in a child process of its own.
#pragma once

#include "tools/check/event_script.h"
#include "tools/check/report.h"

#include <chrono>
#include <filesystem>

namespace check {

struct Limits {
    std::chrono::milliseconds call{5000}; ///< each call into the plugin; a cancelled search's end
    std::chrono::milliseconds refs{5000}; ///< how long kept payload references may stay out
};

/// The core's own warning: it logs deliveries slower than this, during which
/// every other plugin waits.
inline constexpr std::chrono::milliseconds kSlowDelivery{5};

/// The whole run; every finding goes to `out`. `script`, when not empty,
/// replaces the checker's own events. Returns true when the plugin's library
/// could be torn down (nothing of it still runs).
bool runCheck(std::filesystem::path const& plugin, Limits limits, std::vector<ScriptedEvent> const& script,
              ReportWriter& out);

/// Sends the loader's own messages to standard error; once, first thing in main.
void installLogSink() noexcept;

} // namespace check
