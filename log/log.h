// The logging entry point of the core: logSev<L>("format {}", args...).
// Formats into a per-thread buffer with the process locale and hands the text
// to the core as a log event. Nothing is formatted when L is below the core's
// own threshold.
#pragma once

#include "log/locale.h"
#include "log/log_level.h"

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace ox::log {

/// The core's own threshold (plugin id 0); the default when no core exists yet.
int32_t coreThreshold() noexcept;

/// Hands a finished text to the core as a log event; nothing without a core.
void coreMessage(LogLevel level, std::string_view text);

} // namespace ox::log

template <LogLevel L, typename... Args>
void logSev(fmt::format_string<Args...> format, Args&&... args) {
    if (L < ox::log::coreThreshold()) return;
    thread_local std::string lbuf = [] {
        std::string s;
        s.reserve(2048);
        return s;
    }();
    lbuf.clear();
    fmt::vformat_to(std::back_inserter(lbuf), ox::core::getLoc(), fmt::string_view(format),
                    fmt::make_format_args(args...));
    ox::log::coreMessage(L, lbuf);
}
