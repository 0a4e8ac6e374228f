// The system-log copy of the most severe log lines.
#pragma once

#include <string_view>

namespace ox::log {

/// Writes one line to the system log at priority LOG_CRIT.
void systemLog(std::string_view text);

/// Where systemLog sends its lines; tests replace it. Returns the previous sink.
using SystemLogSink = void (*)(std::string_view text);
SystemLogSink setSystemLogSink(SystemLogSink sink);

} // namespace ox::log
