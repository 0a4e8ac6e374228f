// Standard output for console lines. While running, lines go through a bounded
// buffer to a writer thread of the console's own, so a console that stops
// draining (a pipe nobody reads, a stalled serial line) costs dropped lines,
// never a blocked poster. Dropped lines are counted and announced once output
// flows again.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace ox::log {

class Console {
public:
    /// Bytes of lines that may wait for the console; later lines are dropped.
    static constexpr size_t kMaxBacklogBytes = 64u << 10;

    explicit Console(int fd = 1);
    Console(Console const&) = delete;
    Console& operator=(Console const&) = delete;
    /// Stops (see stop) with a short wait if still running.
    ~Console();

    /// Starts the writer thread. Until then lines are written on the caller's thread.
    void start();
    /// Lets the writer empty the buffer, waiting at most `wait`; a writer still
    /// stuck on the console then is left behind. Lines after stop are dropped.
    void stop(std::chrono::milliseconds wait);
    /// Hands over one finished line. Running: buffered, or dropped when the
    /// buffer is full. Not started: written at once; std::system_error
    /// ("cannot write to file") when that fails.
    void write(std::string line);

private:
    struct Shared;
    static void run(Shared& s);

    // Everything the writer touches lives in Shared, which the writer keeps
    // alive itself, so a writer left behind at stop never outlives its data.
    std::shared_ptr<Shared> shared_;
    std::thread writer_; ///< started by start(), joined or detached by stop(); owner's thread
};

} // namespace ox::log
