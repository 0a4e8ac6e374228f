// The memory monitor: every 250 ms on the I/O thread, at most once a second a
// reading of resident memory against a limit from installed RAM, throttling
// episodes with their messages and alarm events, and the wall-clock jump check.
#include "dvrcore/xml_document.h"
#include "dvrcore/xml_printer.h"
#include "core/block_cache.h"
#include "core/cgroup_memory.h"
#include "core/events/record.h"
#include "core/memory_monitor.h"
#include "core/size_text.h"
#include "log/log.h"

#include <boost/asio/dispatch.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kMemCheckPeriod = 250ms;
constexpr uint64_t kSmallMachineLimit = 199'229'440;  // 190 MiB
constexpr uint64_t kLargeMachineRam = 536'870'912;    // 512 MiB and more: 80 % of RAM
constexpr uint64_t kLimitPercent = 80;
constexpr uint64_t kMeasurableLimit = uint64_t{1} << 32; // the reading is 32-bit
constexpr int64_t kReportBelowNs = 999'999;              // first call: less than a millisecond
constexpr int64_t kReportAfterNs = 86'400'000'000'000;   // or a day since the last check
constexpr int64_t kMeasureEveryNs = 1'000'000'000;
constexpr int64_t kWallSlackMs = 999;
constexpr auto kEpisodeEnd = 60s;

constexpr uint32_t kAlarmFlags = ox::core::kLiveClass | ox::core::kXmlPayload;

/// The throttling limit within a memory cgroup of `bytes`: the machine's rule,
/// and never above 80 % of the group, which also holds what the kernel keeps for the process.
uint64_t cgroupThrottlingLimit(uint64_t bytes) {
    uint64_t const share = kLimitPercent * (bytes / 100);
    return bytes >= kLargeMachineRam ? share : std::min(kSmallMachineLimit, share);
}

int64_t ns(SteadyClock::duration d) { return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count(); }

} // namespace

unsigned getHeapAlloc() {
    static long const pageSize = ::sysconf(_SC_PAGESIZE); // thread-safe one-time initialisation
    // Kept open from the first call (Init), so that a process out of
    // descriptors still measures itself. The monitor calls this on the I/O
    // thread; the lock covers Init's call and a reopen.
    static std::mutex mutex;
    static int fd = -1;
    std::lock_guard lock(mutex);
    if (fd < 0) fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[128];
    ssize_t const n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) {
        int const err = n < 0 ? errno : EIO;
        // Closed under us (a plugin's close) or broken: opened afresh next time.
        if (err != EBADF) ::close(fd);
        fd = -1;
        errno = err;
        return 0;
    }
    text[n] = '\0';
    unsigned long total = 0, resident = 0;
    if (std::sscanf(text, "%lu %lu", &total, &resident) < 2) {
        errno = EIO;
        return 0;
    }
    return static_cast<unsigned>(resident) * static_cast<unsigned>(pageSize);
}

uint64_t installedRam() {
    struct sysinfo si{};
    if (::sysinfo(&si) != 0) return 0;
    return static_cast<uint64_t>(si.totalram) * si.mem_unit;
}

namespace ox::core {

MemoryMonitor::MemoryMonitor(boost::asio::io_context& io, Post post, Tick everySecond)
    : post_(std::move(post)), everySecond_(std::move(everySecond)), timer_(io, std::chrono::steady_clock::time_point{}) {}

void MemoryMonitor::start() { arm(SteadyClock::time_point{}); }

void MemoryMonitor::stop() {
    // The timer belongs to the I/O thread; cancel it there.
    boost::asio::dispatch(timer_.get_executor(), [this] {
        if (timerPending_) {
            timer_.cancel();
            timerPending_ = false;
        }
    });
}

void MemoryMonitor::arm(SteadyClock::time_point expiry) {
    if (timerPending_) timer_.cancel();
    timer_.expires_at(expiry);
    timer_.async_wait([this](boost::system::error_code const& ec) { check(ec); });
    timerPending_ = true;
}

void MemoryMonitor::check(boost::system::error_code const& ec) {
    if (ec) return; // cancelled by stop: no re-arm
    timerPending_ = false;
    bool const retryAlarm = alarmPending_.load();

    auto const now = probes.steadyNow();
    auto const wall = probes.wallNow();
    if (!state_.started) {
        state_.started = true;
        state_.limit = kSmallMachineLimit;
        struct rlimit rl{};
        // Only reported: an unreadable limit prints as 0.
        state_.stackLimit = ::getrlimit(RLIMIT_STACK, &rl) == 0 ? static_cast<uint64_t>(rl.rlim_cur) : 0;
        uint64_t const ram = probes.totalRam();
        if (ram >= kLargeMachineRam) state_.limit = kLimitPercent * (ram / 100);
        // A memory cgroup smaller than the machine is the memory the core
        // really has: past it the kernel kills the process.
        if (uint64_t const group = probes.cgroupMemory(); group != 0) {
            uint64_t const groupLimit = cgroupThrottlingLimit(group);
            if (groupLimit < state_.limit) {
                state_.limit = groupLimit;
                logSev<kLogInfo>("memory cgroup limit {}", sizeText(static_cast<int64_t>(group)));
            }
        }
        state_.lastCheck = now;
        state_.lastWall = wall;
    }

    int64_t const elapsed = ns(now - state_.lastCheck);
    if ((elapsed >= -kReportBelowNs && elapsed <= kReportBelowNs) || elapsed >= kReportAfterNs)
        logSev<kLogInfo>("memory limits, throttling:{} stack:{}", sizeText(static_cast<int64_t>(state_.limit)),
                         sizeText(static_cast<int64_t>(state_.stackLimit)));

    if (elapsed >= kMeasureEveryNs) {
        int64_t const wallMs = std::chrono::duration_cast<std::chrono::nanoseconds>(wall - state_.lastWall).count() / 1'000'000;
        int64_t const steadyMs = elapsed / 1'000'000;
        if (std::llabs(wallMs) > steadyMs + kWallSlackMs)
            logSev<kLogNotice>("system time changed by {:.2f}seconds", static_cast<double>(wallMs) / 1000.0);
        state_.lastWall = wall;
        uint32_t inUse = probes.heapAlloc();
        if (inUse == 0) {
            // Resident memory is never 0: the reading failed. Protection goes
            // on with the last value rather than switching itself off.
            int const err = errno;
            if (!readingFailed_)
                logSev<kLogWarning>("resident memory cannot be read ({}): the last reading, {}, stands until it can",
                                    std::strerror(err), sizeText(static_cast<int64_t>(inUse_.load())));
            readingFailed_ = true;
            inUse = inUse_.load();
        } else {
            if (readingFailed_) logSev<kLogNotice>("resident memory can be read again");
            readingFailed_ = false;
            inUse_.store(inUse);
        }
        throttle(state_.limit < kMeasurableLimit && inUse > state_.limit);
        state_.lastCheck = now;
        if (everySecond_) everySecond_();
    }

    // An alarm that an earlier check could not queue goes out with the state of now.
    if (retryAlarm && alarmPending_.load()) alarm();

    arm(SteadyClock::now() + kMemCheckPeriod);
}

void MemoryMonitor::throttle(bool over) {
    if (!enabled_) return;
    int64_t const now = ns(probes.steadyNow().time_since_epoch());
    throttling_.store(over);
    if (over) {
        if (lastOverLimit_ == std::numeric_limits<int64_t>::max()) {
            // Payload blocks kept for reuse go back first.
            oxmem::releaseCachedBlocks();
            ceilingReported_.store(false); // one report of refused events per episode
            logSev<kLogNotice>("available system memory is low, throttling audio/video");
            alarm();
        }
        lastOverLimit_ = now;
        return;
    }
    // Also true while no episode runs: the last over-limit time is then the largest value.
    if (now - ns(kEpisodeEnd) < lastOverLimit_) return;
    logSev<kLogNotice>("available system memory ok, not throttling audio/video");
    alarm();
    lastOverLimit_ = std::numeric_limits<int64_t>::max();
}

void MemoryMonitor::alarm() {
    bool queued = false;
    try {
        queued = queueAlarm() == 0;
    } catch (std::exception const&) {
        // Memory is short when the alarm matters most: not to end the check.
    }
    if (queued) {
        alarmPending_.store(false);
        return;
    }
    if (!alarmPending_.exchange(true))
        logSev<kLogNotice>("memory alarm not posted: no memory for it; retried at the next check");
}

int MemoryMonitor::queueAlarm() {
    int64_t const now = ns(probes.steadyNow().time_since_epoch());
    rapidxml::xmlDocument<char> doc;
    doc.appendNode(doc.newNode(rapidxml::NodeType::declaration));
    auto* root = doc.newNode(rapidxml::NodeType::element, "oREC");
    doc.appendNode(root);
    auto* memory = doc.newNode(rapidxml::NodeType::element, "Memory");
    root->appendNode(memory);
    memory->appendAttr(doc.newAttr("ID", kCoreIdText));
    memory->appendAttr(doc.newAttr("Throttling", throttling_.load() ? "1" : "0"));
    memory->appendAttr(doc.newAttr("Time", std::to_string(now / 1'000'000'000)));
    memory->appendAttr(doc.newAttr("mseTime", std::to_string(now / 1'000'000)));
    std::string const text = rapidxml::toXml<rapidxml::kPrintNoIndent, char>(doc, true);

    // The text is copied by the queue before this returns.
    EventParms e = makeEvent(kCoreAddress, OX_TYPE_ALARM, kAlarmFlags, const_cast<char*>(text.data()),
                             static_cast<uint32_t>(text.size()));
    return post_(e);
}

} // namespace ox::core
