// The log plugin: appends every log record it receives as one line to
// log/dvrcore.log in the working directory. Records are formatted on the
// caller's thread and written by a thread of the plugin's own, so slow storage
// never holds up the dispatcher; when the backlog passes its bound, records
// are counted and dropped instead of growing memory.
#include "log_file.h"

#include "dvrcore/plugin_interface.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t kAddress = 0x00010000u; // plugin id 1
constexpr char const* kLogPath = "log/dvrcore.log";
constexpr uint64_t kMaxFileBytes = 4u << 20;
constexpr unsigned kKeepFiles = 3;
constexpr size_t kMaxBacklogBytes = 1u << 20;

/// The working directory as the plugin was loaded (before any other plugin
/// runs), held open: another plugin's chdir does not move the log.
struct WorkingDir {
    int const fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    ~WorkingDir() {
        if (fd >= 0) ::close(fd);
    }
    int get() const { return fd >= 0 ? fd : AT_FDCWD; }
} const g_workingDir;

class Writer {
public:
    void start() {
        std::lock_guard lock(mutex_);
        if (running_) return;
        running_ = true;
        stopping_ = false;
        exited_ = false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (std::system_error const&) {
            running_ = false; // no thread to be had: every record is written through
        }
    }

    /// At exit() without a Close (a plugin ended the process): what is
    /// buffered reaches the file if the writer manages it within a second, and
    /// the thread is let go either way, so that the exit status survives.
    void stopAtExit() {
        std::unique_lock lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        running_ = false;
        cv_.notify_one();
        bool const done = ended_.wait_for(lock, std::chrono::seconds(1), [this] { return exited_; });
        lock.unlock();
        if (done)
            thread_.join();
        else
            thread_.detach();
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            running_ = false;
        }
        cv_.notify_one();
        if (thread_.joinable()) thread_.join();
        std::lock_guard lock(fileMutex_);
        file_.flush();
    }

    void append(std::string line) {
        {
            std::lock_guard lock(mutex_);
            if (!running_) {
                // Closed (late shutdown records): write through, nothing may be lost.
                std::lock_guard fileLock(fileMutex_);
                file_.write(line);
                file_.flush();
                return;
            }
            if (backlog_ + line.size() > kMaxBacklogBytes) {
                ++dropped_;
                return;
            }
            backlog_ += line.size();
            lines_.push_back(std::move(line));
        }
        cv_.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stopping_ || !lines_.empty(); });
            if (lines_.empty() && stopping_) {
                exited_ = true;
                ended_.notify_all();
                break;
            }
            std::deque<std::string> batch;
            batch.swap(lines_);
            backlog_ = 0;
            unsigned long const dropped = dropped_;
            dropped_ = 0;
            lock.unlock();
            {
                std::lock_guard fileLock(fileMutex_);
                if (dropped)
                    file_.write("log writer fell behind: " + std::to_string(dropped) + " record(s) dropped\n");
                for (auto const& line : batch) file_.write(line);
                file_.flush();
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable ended_; ///< signalled when the writer thread leaves its loop
    bool exited_ = false;           ///< under mutex_: the writer thread left its loop
    std::deque<std::string> lines_; ///< under mutex_
    size_t backlog_ = 0;            ///< bytes in lines_; under mutex_
    unsigned long dropped_ = 0;     ///< under mutex_
    bool stopping_ = false;         ///< under mutex_
    bool running_ = false;          ///< under mutex_: the writer thread takes records
    std::thread thread_;            ///< started by Open, joined by Close
    std::mutex fileMutex_;          ///< taken after mutex_, never before it
    logpi::LogFile file_{kLogPath, kMaxFileBytes, kKeepFiles, g_workingDir.get()}; ///< under fileMutex_
};

// Never destroyed: a plugin may call exit() while the writer runs, and a
// joinable thread in a static destructor would abort the process.
Writer& g_writer = *new Writer;
struct FlushAtExit {
    ~FlushAtExit() { g_writer.stopAtExit(); } // after a Close, nothing is left to do
} g_flushAtExit;

std::string formatLine(ox::core::EventParms const& e) {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    std::tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    char stamp[64];
    size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));

    std::string text(e.data, e.dataLen);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0')) text.pop_back();
    unsigned const id = ox_pluginIdOf(e.source);
    char head[96];
    std::snprintf(head, sizeof head, "%s %3d %02x ", stamp, static_cast<int>(e.level), id);
    return head + text + "\n";
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const*, PluginInfo* out) {
    out->address = kAddress;
    out->log = OX_CONSUMES;
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    g_writer.start();
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    g_writer.stop();
    return 0;
}

OX_PLUGIN_EXPORT int OnEvent(ox::core::EventParms const* e) {
    if ((e->type & ~OX_TYPE_MODIFIER) != OX_TYPE_LOG || e->dataLen == 0 || !e->data) return OX_EVENT_DONE;
    g_writer.append(formatLine(*e));
    return OX_EVENT_DONE;
}
