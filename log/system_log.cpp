#include "log/system_log.h"

#include <syslog.h>

#include <atomic>

namespace ox::log {

namespace {

void toSyslog(std::string_view text) {
    // The core does not open the system log itself: the C library's default facility applies.
    ::syslog(LOG_CRIT, "%.*s", static_cast<int>(text.size()), text.data());
}

std::atomic<SystemLogSink> g_sink{&toSyslog};

} // namespace

void systemLog(std::string_view text) { g_sink.load()(text); }

SystemLogSink setSystemLogSink(SystemLogSink sink) { return g_sink.exchange(sink ? sink : &toSyslog); }

} // namespace ox::log
