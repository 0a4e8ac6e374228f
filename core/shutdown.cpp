#include "core/shutdown.h"

#include "dvrcore/event_parms.h"
#include "plugin/call_site.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace ox::core {
namespace {

/// What the console may still take of the watch's time before its line.
constexpr std::chrono::milliseconds kConsoleFlush{200};

std::string describeCall(ox::plugin::CallSite const& call) {
    char const* plugin = call.plugin.load(std::memory_order_acquire);
    char const* entry = call.entry.load(std::memory_order_relaxed);
    if (!plugin || !entry) return {};
    std::string const e(entry), p(plugin);
    if (e == "Load") return "loading " + p;
    if (e == "Open") return "opening " + p;
    if (e == "Close") return "closing " + p;
    if (e == "Unload") return "unloading " + p;
    if (e == "OnEvent") {
        std::string const type = ox::core::typeName(call.eventType.load(std::memory_order_relaxed));
        bool const vowel = std::string("aeiou").find(type[0]) != std::string::npos;
        return std::string("delivering ") + (vowel ? "an " : "a ") + type + " event to " + p;
    }
    return "in " + e + " of " + p;
}

/// One write that cannot block the watch: a pipe or socket nobody drains is
/// switched to non-blocking first (the process ends right after).
void writeNoWait(int fd, std::string const& line) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ssize_t const n = ::write(fd, line.data(), line.size());
    (void)n;
}

std::string timeOfDay() {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    std::tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(tv.tv_usec / 1000));
    return text;
}

} // namespace

Shutdown::Shutdown(std::function<void(std::chrono::milliseconds)> flushConsole)
    : flushConsole_(std::move(flushConsole)) {}

Shutdown::~Shutdown() {
    disarm();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !watching_; });
}

bool Shutdown::startWatch() {
    try {
        std::thread([this] { watch(); }).detach();
    } catch (std::system_error const& e) {
        errno = e.code().value();
        return false;
    }
    std::lock_guard lock(mutex_);
    watching_ = true;
    return true;
}

void Shutdown::setConsole(int fd) noexcept {
    std::lock_guard lock(mutex_);
    consoleFd_ = fd;
}

void Shutdown::setLimit(std::chrono::milliseconds limit) {
    std::lock_guard lock(mutex_);
    limit_ = limit;
    changed_.notify_all();
}

void Shutdown::requested() {
    {
        std::lock_guard lock(mutex_);
        if (stopAt_) return;
        stopAt_ = Clock::now();
        changed_.notify_all();
    }
    // After the stop time: whoever sees the flag finds the deadline armed.
    stopRequested_.store(true);
}

Shutdown::Clock::time_point Shutdown::deadline() const {
    std::lock_guard lock(mutex_);
    if (!stopAt_) return Clock::time_point::max();
    return *stopAt_ + std::chrono::duration_cast<Clock::duration>(limit_);
}

void Shutdown::setStep(std::string step) {
    std::lock_guard lock(mutex_);
    step_ = std::move(step);
}

void Shutdown::markLeftRunning() noexcept {
    std::lock_guard lock(mutex_);
    leftRunning_ = true;
}

bool Shutdown::leftRunning() const {
    std::lock_guard lock(mutex_);
    return leftRunning_;
}

void Shutdown::disarm() {
    std::lock_guard lock(mutex_);
    disarmed_ = true;
    changed_.notify_all();
}

std::string Shutdown::doingLocked() const {
    if (!step_.empty()) return step_;
    if (auto const* main = ox::plugin::mainThreadsCall()) {
        std::string doing = describeCall(*main);
        if (!doing.empty()) return doing;
    }
    return "stopping";
}

void Shutdown::watch() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (disarmed_) break;
        if (!stopAt_) {
            changed_.wait(lock);
            continue;
        }
        // Recomputed on every wake-up: the limit may be configured after the stop.
        auto const end = *stopAt_ + std::chrono::duration_cast<Clock::duration>(limit_) + kForcedExitAfter;
        if (Clock::now() < end) {
            changed_.wait_until(lock, end);
            continue;
        }
        std::string const line =
            timeOfDay() + " core stop deadline passed while " + doingLocked() + ": the core exits now\n";
        int const fd = consoleFd_;
        lock.unlock();
        // The console writer runs no plugin code; it gets a moment for the lines before ours.
        if (flushConsole_) flushConsole_(kConsoleFlush);
        writeNoWait(fd, line);
        std::_Exit(kTooLateStatus);
    }
    watching_ = false;
    changed_.notify_all();
}

} // namespace ox::core
