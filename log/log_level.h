// Severities of log records. A severity travels in events as the signed
// 32-bit `level` field; the values below are the ones the core uses.
#pragma once

#include <cstdint>

enum LogLevel : int32_t {
    kLogDebug = 0,
    kLogInfo = 25, ///< default threshold
    kLogNotice = 50,
    kLogWarning = 75,
    kLogCritical = 100, ///< also copied to the system log
};

inline constexpr int32_t kDefaultLogThreshold = kLogInfo;
