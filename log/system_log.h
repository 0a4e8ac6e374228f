// The system-log copy of the most severe log lines.
#pragma once

#include <string_view>

namespace ox::log {

/// Writes one line to the system log at priority LOG_CRIT.
void systemLog(std::string_view text);

} // namespace ox::log
