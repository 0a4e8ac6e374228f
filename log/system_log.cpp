#include "log/system_log.h"

#include <syslog.h>

namespace ox::log {

void systemLog(std::string_view text) {
    // The core does not open the system log itself: the C library's default facility applies.
    ::syslog(LOG_CRIT, "%.*s", static_cast<int>(text.size()), text.data());
}

} // namespace ox::log
