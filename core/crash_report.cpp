#include "core/crash_report.h"

#include "dvrcore/event_parms.h"
#include "plugin/call_site.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace ox::core {
namespace {

// Read by the handler: set once before it is installed.
int g_console = -1;
int g_workDir = -1;
/// The main thread's stack for the handler, for a crash that is a stack overflow.
alignas(16) char g_altStack[64 * 1024];

/// A line built without allocation or locks: the handler may run anywhere.
class Line {
public:
    Line& add(char const* s) {
        while (s && *s && n_ < sizeof buf_ - 1) buf_[n_++] = *s++;
        return *this;
    }
    Line& num(uintptr_t v, unsigned base) {
        char digits[2 * sizeof v + 1];
        unsigned k = 0;
        do {
            digits[k++] = "0123456789abcdef"[v % base];
            v /= base;
        } while (v != 0);
        while (k > 0 && n_ < sizeof buf_ - 1) buf_[n_++] = digits[--k];
        return *this;
    }
    char const* data() const { return buf_; }
    size_t size() const { return n_; }

private:
    char buf_[512];
    size_t n_ = 0;
};

char const* signalName(int sig) {
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

void writeAll(int fd, Line const& line) {
    size_t at = 0;
    while (fd >= 0 && at < line.size()) {
        ssize_t const n = ::write(fd, line.data() + at, line.size() - at);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

void onFatalSignal(int sig, siginfo_t* info, void*) {
    int const savedErrno = errno;
    auto const& call = ox::plugin::thisThreadsCall();
    char const* plugin = call.plugin.load(std::memory_order_relaxed);
    char const* entry = call.entry.load(std::memory_order_relaxed);
    uint32_t const type = call.eventType.load(std::memory_order_relaxed);

    Line line;
    line.add("dvrcore: fatal signal ").add(signalName(sig));
    // Only a fault the kernel raised has an address; a sent signal carries a sender.
    if (sig != SIGABRT && info && info->si_code > 0) line.add(" (address 0x").num(reinterpret_cast<uintptr_t>(info->si_addr), 16).add(")");
    if (plugin && entry) {
        line.add(" in plugin ").add(plugin).add(", ").add(entry);
        if (type != 0) {
            char const* name = ox::core::typeName(type);
            bool const vowel = std::strchr("aeiou", name[0]) != nullptr;
            line.add(", delivering ").add(vowel ? "an " : "a ").add(name).add(" event");
        }
    } else {
        line.add(" in the core");
    }
    line.add("\n");

    writeAll(g_console, line);
    if (g_workDir >= 0) {
        ::mkdirat(g_workDir, "log", 0750); // the log plugin may not have made it yet
        int const fd = ::openat(g_workDir, "log/crash.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
        if (fd >= 0) {
            writeAll(fd, line);
            ::close(fd);
        }
    }
    errno = savedErrno;
    // The handler was reset to the default action on entry: the signal ends
    // the process once the handler returns (a fault by running again).
    ::raise(sig);
}

} // namespace

void installCrashReport(int consoleFd, int workDirFd) noexcept {
    g_console = consoleFd;
    g_workDir = workDirFd;
    stack_t ss{};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    ::sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = onFatalSignal;
    sa.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(sig, &sa, nullptr);
}

} // namespace ox::core
