#include "log/console.h"

#include <fmt/format.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ox::log {

namespace {

constexpr std::chrono::milliseconds kDestructorWait{500};

/// Writes all of `text`, waiting for a descriptor that is non-blocking;
/// false when the console refuses it (closed, gone).
bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t const n = ::write(fd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

struct Console::Shared {
    Shared(Format f, int descriptor) : format(std::move(f)), fd(descriptor) {}
    ~Shared() {
        if (ownFd) ::close(fd);
    }
    enum class State { idle, running, stopping, stopped };
    /// Records waiting for the writer, their texts one after the other.
    struct Batch {
        struct Entry {
            ConsoleRecord record;
            size_t length;
        };
        std::vector<Entry> entries;
        std::string texts;
        bool empty() const noexcept { return entries.empty(); }
        void clear() noexcept { // capacity kept: a console in steady use allocates nothing
            entries.clear();
            texts.clear();
        }
    };

    Format const format;
    /// Set under mutex by start() before the writer exists; the writer's own afterwards.
    int fd;
    bool ownFd = false; ///< fd is the console's own copy, closed with Shared
    std::mutex mutex;
    std::condition_variable wake;    ///< records or a state change, for the writer
    std::condition_variable drained; ///< the writer has left or stopped formatting, for stop()
    Batch waiting;                   ///< under mutex
    size_t bytes = 0;                ///< backlog counted against kMaxBacklogBytes; under mutex
    uint64_t dropped = 0;            ///< records not taken since the last note; under mutex
    State state = State::idle;       ///< under mutex
    bool formatting = false;         ///< the writer is calling format; under mutex
    bool writing = false;            ///< the writer is writing a batch; under mutex
    bool writerDone = false;         ///< under mutex
};

Console::Console(Format format, int fd) : shared_(std::make_shared<Shared>(std::move(format), fd)) {}

Console::~Console() { stop(kDestructorWait); }

void Console::start() {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->state != Shared::State::idle) return;
        shared_->state = Shared::State::running;
        // A descriptor of the console's own: a plugin that closes standard
        // output must not send console lines into whatever file takes its number.
        if (int const own = ::fcntl(shared_->fd, F_DUPFD_CLOEXEC, 3); own >= 0) {
            shared_->fd = own;
            shared_->ownFd = true;
        }
    }
    // The writer takes no signals: a stop signal must reach a thread that can
    // act on it, and a console that goes away must not raise SIGPIPE here.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        writer_ = std::thread([s = shared_] { run(*s); });
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        std::lock_guard lock(shared_->mutex);
        shared_->state = Shared::State::idle;
        throw;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Console::stop(std::chrono::milliseconds wait) {
    Shared& s = *shared_;
    bool done = true;
    {
        std::unique_lock lock(s.mutex);
        if (s.state == Shared::State::running) {
            s.state = Shared::State::stopping;
            s.wake.notify_one();
            done = s.drained.wait_for(lock, wait, [&] { return s.writerDone; });
        }
        s.state = Shared::State::stopped;
        s.wake.notify_one();
        // Formatting reads the owner's state (tags, colours): a writer left
        // behind may go on writing what it has, never format another record.
        s.drained.wait(lock, [&] { return !s.formatting; });
    }
    if (!writer_.joinable()) return;
    if (done)
        writer_.join();
    else
        writer_.detach(); // blocked on the console; it holds its own reference to Shared
}

bool Console::flush(std::chrono::milliseconds wait) {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    return s.drained.wait_for(lock, wait, [&] {
        return s.state != Shared::State::running ||
               (s.waiting.empty() && s.dropped == 0 && !s.formatting && !s.writing);
    });
}

bool Console::write(ConsoleRecord const& record, std::string_view text) {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    switch (s.state) {
    case Shared::State::idle: {
        // No writer yet: written whole under the lock, so lines never interleave.
        std::string line;
        s.format(record, text, line);
        if (!writeAll(s.fd, line)) throw std::system_error(errno, std::generic_category(), "cannot write to file");
        return true;
    }
    case Shared::State::running:
    case Shared::State::stopping: {
        // A record longer than the whole buffer still goes when nothing waits.
        size_t const cost = text.size() + kRecordBytes;
        if (s.bytes != 0 && s.bytes + cost > kMaxBacklogBytes) {
            ++s.dropped;
            return false;
        }
        bool const first = s.waiting.empty();
        s.bytes += cost;
        s.waiting.texts.append(text);
        s.waiting.entries.push_back({record, text.size()});
        lock.unlock();
        // Behind other records the writer has been woken already.
        if (first) s.wake.notify_one();
        return true;
    }
    case Shared::State::stopped:
        break; // nobody will write it, nor a note about it
    }
    return false;
}

void Console::run(Shared& s) {
    Shared::Batch batch;
    std::string lines;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return s.state != Shared::State::running || !s.waiting.empty() || s.dropped != 0; });
        if (s.state == Shared::State::stopped) break; // given up by stop()
        if (s.waiting.empty() && s.dropped == 0) break; // stopping, and all written
        batch.clear();
        std::swap(batch, s.waiting);
        s.bytes = 0;
        uint64_t const dropped = std::exchange(s.dropped, 0);
        s.formatting = true;
        lock.unlock();
        lines.clear();
        std::string_view texts = batch.texts;
        for (auto const& e : batch.entries) {
            try {
                s.format(e.record, texts.substr(0, e.length), lines);
            } catch (...) {
                // A line that cannot be formatted (memory is short) is left out.
            }
            texts.remove_prefix(e.length);
        }
        lock.lock();
        s.formatting = false;
        s.writing = true;
        s.drained.notify_all();
        lock.unlock();
        // A console that refuses a line takes none of the others either.
        bool const ok = writeAll(s.fd, lines);
        if (ok && dropped != 0) writeAll(s.fd, fmt::format("console: {} line(s) dropped\n", dropped));
        lock.lock();
        s.writing = false;
        s.drained.notify_all();
    }
    s.writerDone = true;
    s.drained.notify_all();
}

} // namespace ox::log
