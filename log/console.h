// Standard output for console lines. While running, records go through a
// bounded buffer to a writer thread of the console's own, which turns them
// into lines: a console that stops draining (a pipe nobody reads, a stalled
// serial line) costs dropped lines, never a blocked poster, and the poster
// pays for a copy of the text only. Dropped lines are counted and announced
// once output flows again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace ox::log {

/// What the poster of a line knows; the text travels beside it.
struct ConsoleRecord {
    unsigned pluginId;
    unsigned severity;
    int64_t ms; ///< the system clock when it was posted, milliseconds since the epoch
    bool quiet; ///< the system-log copy only, no line
};

class Console {
public:
    /// Appends the record's line, if any, to `line`. Runs on the writer
    /// thread, or under the console's lock on the caller's before start; never
    /// after stop has returned.
    using Format = std::function<void(ConsoleRecord const&, std::string_view text, std::string& line)>;

    /// Bytes of lines that may wait for the console, a record counted as its
    /// text and kRecordBytes for its time and tag; later records are dropped.
    static constexpr size_t kMaxBacklogBytes = 64u << 10;
    static constexpr size_t kRecordBytes = 20;

    explicit Console(Format format, int fd = 1);
    Console(Console const&) = delete;
    Console& operator=(Console const&) = delete;
    /// Stops (see stop) with a short wait if still running.
    ~Console();

    /// Starts the writer thread. Until then lines are written on the caller's thread.
    void start();
    /// Lets the writer empty the buffer, waiting at most `wait`; a writer still
    /// stuck on the console then is left behind. Records after stop are dropped.
    void stop(std::chrono::milliseconds wait);
    /// Waits at most `wait` until every line given so far is written; true
    /// when it was. Any thread, also while another stops the console: it
    /// changes nothing, so the shutdown watch can call it beside the main
    /// thread's stop.
    bool flush(std::chrono::milliseconds wait);
    /// Hands over one record. Running: buffered, or dropped when the buffer is
    /// full. Not started: formatted and written at once; std::system_error
    /// ("cannot write to file") when that fails. False when it was dropped
    /// (full, or stopped): its line never reaches the console.
    bool write(ConsoleRecord const& record, std::string_view text);

private:
    struct Shared;
    static void run(Shared& s);

    // Everything the writer touches lives in Shared, which the writer keeps
    // alive itself, so a writer left behind at stop never outlives its data.
    std::shared_ptr<Shared> shared_;
    std::thread writer_; ///< started by start(), joined or detached by stop(); owner's thread
};

} // namespace ox::log
