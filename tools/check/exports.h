// What the checker exports to plugins in place of the core (core/exports.list):
// the core accessor and its Stop, the parent's uid and the payload counters.
#pragma once

#include "dvrcore/process_info.h"

namespace check {

/// Called when the plugin asks the core to stop (DvrCore::Stop); defined by the host.
void onStopRequest() noexcept;

} // namespace check
