// The logging entry point of the core: logSev<L>("format {}", args...).
// Formats into a per-thread buffer with the process locale and hands the text
// to the installed sink, which the core turns into a log event. Nothing is
// formatted when L is below the sink's threshold.
#pragma once

#include "log/locale.h"
#include "log/log_level.h"

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace ox::log {

/// Where the messages of logSev go: installed by the process that hosts the
/// core's code (the core itself, or a tool that loads plugins). Both functions
/// may be called from any thread at any time while the sink is installed.
struct Sink {
    void* context;
    int32_t (*threshold)(void* context) noexcept;                  ///< least severity that is formatted
    void (*message)(void* context, LogLevel level, std::string_view text); ///< a finished text
};

/// Installs `sink`, which must outlive its installation; null removes it.
void setSink(Sink const* sink) noexcept;

/// The installed sink's threshold; the default without a sink.
int32_t coreThreshold() noexcept;

/// Hands a finished text to the installed sink; dropped without one.
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
    fmt::vformat_to(std::back_inserter(lbuf), ox::log::getLoc(), fmt::string_view(format),
                    fmt::make_format_args(args...));
    ox::log::coreMessage(L, lbuf);
}
