// Severities of log records. A severity travels in events as the signed
// 32-bit `level` field; the values below are the ones the core uses.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstdint>

enum LogLevel : int32_t {
    kLogDebug = OX_LOG_DEBUG,
    kLogInfo = OX_LOG_INFO, ///< default threshold
    kLogNotice = OX_LOG_NOTICE,
    kLogWarning = OX_LOG_WARNING,
    kLogCritical = OX_LOG_CRITICAL, ///< also copied to the system log
};

inline constexpr int32_t kDefaultLogThreshold = kLogInfo;
