#include "log/console_printer.h"
#include "log/system_log.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <system_error>

namespace {

enum Colour { kSev0, kSev25, kSev50, kSev75, kSev100, kTag, kReset, kColours };

constexpr char const* kColourTable[2][kColours] = {
    {"", "", "", "", "", "", ""},
    {"\x1b[38;5;248m", "\x1b[32m", "\x1b[38;5;227m", "\x1b[38;5;196m", "\x1b[38;5;37m\x1b[38;5;1m", "\x1b[36m",
     "\x1b[0m"},
};

constexpr unsigned kTopSeverity = 100;

/// Plugins' text may hold tabs only; the core's own messages also keep their
/// line breaks (the status summary and "Config defaulted" span lines).
bool isControl(char c, bool core) {
    auto const u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t' && !(core && c == '\n')) || u == 0x7F;
}

/// The text as the operator may see it: control characters other than tab
/// shown as \xNN, so a plugin's text cannot drive the terminal. Returns
/// `text` itself when there is nothing to escape, else a view of `buffer`.
std::string_view escapeControls(std::string_view text, std::string& buffer, bool core) {
    if (std::none_of(text.begin(), text.end(), [core](char c) { return isControl(c, core); })) return text;
    buffer.clear();
    for (char c : text) {
        if (isControl(c, core))
            fmt::format_to(std::back_inserter(buffer), "\\x{:02x}", static_cast<unsigned char>(c));
        else
            buffer += c;
    }
    return buffer;
}

} // namespace

namespace ox::log {

void ConsolePrinter::print(unsigned pluginId, unsigned severity, std::string_view text, bool quiet) const {
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    if (text.empty()) return;
    bool const top = severity > kTopSeverity - 1;
    if (quiet && !top) return;
    auto const ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch()).count();
    if (!console_.write({pluginId, severity, static_cast<int64_t>(ms), quiet}, text) && top) {
        // Dropped (a stalled console, or stopped): the system log still gets its copy.
        std::string buffer;
        ox::log::systemLog(escapeControls(text, buffer, pluginId == 0));
    }
}

void ConsolePrinter::format(ConsoleRecord const& r, std::string_view text, std::string& line) const {
    std::string buffer;
    text = escapeControls(text, buffer, r.pluginId == 0);
    unsigned severity = r.severity;
    if (severity > kTopSeverity - 1) {
        ox::log::systemLog(text);
        severity = kTopSeverity;
    }
    if (r.quiet) return;

    std::time_t const seconds = static_cast<std::time_t>(r.ms / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);

    std::string const tag = tagOf_(r.pluginId);
    auto const* colours = kColourTable[colours_ ? 1 : 0];
    fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} {}{} {}\n", colours[severity / 25], local, r.ms % 1000,
                   colours[kTag], tag, colours[kReset], text);
}

} // namespace ox::log
