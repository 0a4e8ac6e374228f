// The console echo of log records: a coloured, timed line per record through
// the console's writer thread; the most severe lines also go to the system log.
#pragma once

#include "log/console.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace ox::log {

class ConsolePrinter {
public:
    /// The tag a line of this plugin id carries; called on the console's writer thread.
    using TagOf = std::function<std::string(unsigned pluginId)>;

    /// Colour codes only on a terminal: a file or a pipe gets plain lines.
    explicit ConsolePrinter(TagOf tagOf, bool colours = ::isatty(STDOUT_FILENO) == 1)
        : tagOf_(std::move(tagOf)), colours_(colours),
          console_([this](ConsoleRecord const& r, std::string_view text, std::string& line) { format(r, text, line); }) {}

    /// Starts the writer; on the thread whose capabilities it should have.
    void start() { console_.start(); }
    /// Writes what is buffered, waiting at most `wait`; then lines are dropped.
    void stop(std::chrono::milliseconds wait) { console_.stop(wait); }
    /// Waits at most `wait` for the lines given so far (see Console::flush).
    bool flush(std::chrono::milliseconds wait) { return console_.flush(wait); }

    /// One record's text, trimmed of trailing line ends and with control
    /// characters escaped (the core's own, plugin id 0, keep their line
    /// breaks). Severity 100 and above also goes to the system log; with
    /// `quiet` nothing goes to the console. Any thread. Once the writer runs
    /// the caller only copies the text into its buffer: the time of day, the
    /// tag, the escaping, the line and the system-log copy are the writer's.
    void print(unsigned pluginId, unsigned severity, std::string_view text, bool quiet) const;

private:
    /// The line of a record, and its system-log copy; the console's writer.
    void format(ConsoleRecord const& r, std::string_view text, std::string& line) const;

    TagOf tagOf_;
    bool const colours_; ///< decided at construction
    /// Own lock and thread; writes keep lines whole and in order.
    mutable Console console_;
};

} // namespace ox::log
