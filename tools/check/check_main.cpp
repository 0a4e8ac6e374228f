// dvrcore-check PLUGIN.so [options]: runs one plugin the way the core does, in
// a child process, and prints what it did wrong. The parent only watches: a
// crash, an abort or a hang of the child becomes a fault of the verdict.
#include "tools/check/check_host.h"
#include "tools/check/report.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <vector>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kUsage[] =
    "usage: dvrcore-check PLUGIN.so [options]\n"
    "Loads a plugin as the core does, offers it a configuration document and events\n"
    "of every type it consumes, runs two searches if it provides them (the second\n"
    "cancelled part-way), closes and unloads it, and reports each fault in a line.\n"
    "  --json              print the verdict as one JSON document\n"
    "  --timeout SECS      limit for each call into the plugin (default 5)\n"
    "  --ref-timeout SECS  how long kept payload references may stay out (default 5)\n"
    "  --run-timeout SECS  limit for the whole run (default 60)\n"
    "  --events FILE       deliver the events listed in FILE instead of the checker's own\n"
    "                      (one a line: TYPE SOURCE [class=stored] [key=1] [level=N]\n"
    "                      [request=ID] [flags=N] [text:PAYLOAD | file:PATH])\n"
    "  --help              print this and exit\n"
    "Exit status: 0 clean, 1 faults found, 2 usage error.\n";

/// What the parent gives a step beyond its limit before calling it hung.
constexpr milliseconds kSlack{1000};

struct Options {
    std::filesystem::path plugin;
    bool json = false;
    check::Limits limits;
    milliseconds run{60000};
    std::vector<check::ScriptedEvent> script; ///< --events
};

/// The machine an ELF file is built for, as its header says; empty when it is no ELF file.
std::string machineOf(std::filesystem::path const& file) {
    unsigned char h[20] = {};
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return {};
    size_t const n = std::fread(h, 1, sizeof h, f);
    std::fclose(f);
    if (n < sizeof h || std::memcmp(h, "\x7f" "ELF", 4) != 0) return {};
    bool const wide = h[4] == 2, little = h[5] == 1;
    unsigned const machine = little ? h[18] | h[19] << 8 : h[19] | h[18] << 8;
    switch (machine) {
    case 3: return "x86 (32-bit)";
    case 8: return little && !wide ? "the appliance (32-bit MIPS, little-endian)" : "MIPS of another kind";
    case 40: return "32-bit ARM";
    case 62: return "x86-64";
    case 183: return "64-bit ARM";
    default: return fmt::format("machine {} ({}-bit, {}-endian)", machine, wide ? 64 : 32, little ? "little" : "big");
    }
}

/// A plugin of another architecture cannot be loaded here: say which checker can.
std::optional<std::string> otherArchitecture(std::filesystem::path const& plugin) {
    std::string const theirs = machineOf(plugin), ours = machineOf("/proc/self/exe");
    if (theirs.empty() || ours.empty() || theirs == ours) return std::nullopt;
    return fmt::format("{} is built for {}, this dvrcore-check for {}: check it with the dvrcore-check of the SDK "
                       "built for {}{}",
                       plugin.filename().string(), theirs, ours, theirs,
                       theirs.rfind("the appliance", 0) == 0 ? ", under qemu-mipsel (see the plugin guide)" : "");
}

int usageError(std::string const& what) {
    std::fprintf(stderr, "dvrcore-check: %s\n%s", what.c_str(), kUsage);
    return 2;
}

bool seconds(char const* text, milliseconds& out) {
    char* end = nullptr;
    double const v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 1e6) return false;
    out = milliseconds(static_cast<int64_t>(std::ceil(v * 1000)));
    return true;
}

std::string shown(milliseconds d) { return fmt::format("{:g} s", static_cast<double>(d.count()) / 1e3); }

/// The child: runs the check and reports on `fd`. Never returns.
[[noreturn]] void child(Options const& o, int fd) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // no orphaned plugin when the checker is killed
    ::dup2(2, 1);                       // whatever the plugin prints stays off the verdict
    check::ReportWriter out(fd);
    bool const torn = check::runCheck(o.plugin, o.limits, o.script, out);
    if (!torn) ::_exit(0); // plugin code still runs: no exit handlers under its feet
    std::exit(0);
}

/// The parent: reads the child's report, enforces the limits, turns how the child ended into faults.
check::Report watch(Options const& o, pid_t pid, int fd) {
    check::Report r;
    r.plugin = o.plugin.filename().string();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto const runDeadline = Clock::now() + o.run;
    auto stepDeadline = Clock::time_point::max();
    milliseconds stepLimit{0};
    std::string pending;
    bool eof = false, reaped = false;
    int status = 0;
    std::string hung;

    auto readAll = [&] {
        char buf[4096];
        for (;;) {
            ssize_t const n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                pending.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) eof = true;
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            if (auto const limit = check::applyLine(r, std::string_view(pending).substr(0, nl))) {
                stepLimit = milliseconds(*limit);
                stepDeadline = *limit ? Clock::now() + stepLimit + kSlack : Clock::time_point::max();
            }
        }
        // Exit handlers (and a sanitizer's leak check) run after the last step: only the run's limit applies.
        if (r.finished) stepDeadline = Clock::time_point::max();
    };

    while (!reaped) {
        pollfd p{fd, POLLIN, 0};
        int const ready = ::poll(&p, eof ? 0 : 1, 20);
        if (ready > 0) readAll();
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
        auto const now = Clock::now();
        if (now >= stepDeadline || now >= runDeadline) {
            if (now >= stepDeadline)
                hung = fmt::format("{} did not return within {}", r.phase, shown(stepLimit));
            else
                hung = fmt::format("the run did not end within {} (during {})", shown(o.run), r.phase);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            reaped = true;
        }
    }
    readAll(); // what the child wrote just before it ended

    std::string const during = r.phase.empty() ? std::string("start-up") : r.phase;
    std::string end;
    if (!hung.empty()) {
        end = hung;
    } else if (WIFSIGNALED(status)) {
        int const sig = WTERMSIG(status);
        end = r.finished ? fmt::format("crashed after the plugin was unloaded: signal {} ({})", sig, ::strsignal(sig))
                         : fmt::format("crashed during {}: signal {} ({})", during, sig, ::strsignal(sig));
    } else if (WIFEXITED(status) && !r.finished) {
        end = fmt::format("ended during {} with exit status {}", during, WEXITSTATUS(status));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        end = fmt::format("the check process ended with exit status {} after the plugin was unloaded (see standard "
                          "error)",
                          WEXITSTATUS(status));
    }
    if (!end.empty()) r.faults.push_back(end);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    check::installLogSink();
    Options o;
    bool havePlugin = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view const a = argv[i];
        auto value = [&](milliseconds& out) {
            if (i + 1 >= argc || !seconds(argv[i + 1], out)) return false;
            ++i;
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--timeout") {
            if (!value(o.limits.call)) return usageError("--timeout needs a number of seconds");
        } else if (a == "--ref-timeout") {
            if (!value(o.limits.refs)) return usageError("--ref-timeout needs a number of seconds");
        } else if (a == "--run-timeout") {
            if (!value(o.run)) return usageError("--run-timeout needs a number of seconds");
        } else if (a == "--events") {
            if (i + 1 >= argc) return usageError("--events needs a file");
            std::string error;
            if (!check::readEventScript(argv[++i], o.script, error)) return usageError(error);
            if (o.script.empty()) return usageError(fmt::format("{}: no events in it", argv[i]));
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(fmt::format("unknown option: {}", a));
        } else if (havePlugin) {
            return usageError("one plugin at a time");
        } else {
            o.plugin = a;
            havePlugin = true;
        }
    }
    if (!havePlugin) return usageError("no plugin given");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(o.plugin, ec))
        return usageError(fmt::format("{}: no such file", o.plugin.string()));
    // The loader opens exactly this file, never one found on the library path.
    o.plugin = std::filesystem::absolute(o.plugin, ec);
    if (auto const other = otherArchitecture(o.plugin)) {
        check::Report r;
        r.plugin = o.plugin.filename().string();
        r.faults.push_back(*other);
        std::string const text = o.json ? check::renderJson(r) : check::renderText(r);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 1;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("dvrcore-check: pipe");
        return 2;
    }
    std::fflush(nullptr);
    pid_t const pid = ::fork();
    if (pid < 0) {
        std::perror("dvrcore-check: fork");
        return 2;
    }
    if (pid == 0) {
        ::close(fds[0]);
        child(o, fds[1]);
    }
    ::close(fds[1]);
    check::Report const r = watch(o, pid, fds[0]);
    std::string const text = o.json ? check::renderJson(r) : check::renderText(r);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return r.faults.empty() ? 0 : 1;
}
