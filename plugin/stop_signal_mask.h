// The stop signals (SIGINT, SIGTERM, SIGQUIT): blocked in every thread of the
// process and taken only by the core's signal thread, so that a plugin's
// handler never runs for them. A plugin's start-up call may unblock them on
// the core's thread; the host blocks them again after it.
#pragma once

#include <csignal>

namespace ox::plugin {

sigset_t stopSignalSet() noexcept;
/// Blocks the stop signals in the calling thread.
void blockStopSignals() noexcept;

} // namespace ox::plugin
