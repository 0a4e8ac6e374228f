// Start-up figures of an idle core with no plugins but the log plugin:
// the time from fork to the dispatcher's first turn (its first status
// summary line), and the resident memory once it idles. Runs the real
// executable from a temporary appliance tree; prints median and spread
// (--dvr_table=FILE writes the medians for scripts/bench). Nothing else runs
// beside it to compare with, and there is no target.
//   startup [RUNS]
#include "figures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <csignal>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

long rssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

struct Sample {
    double startMs;
    long rss;
};

Sample once(fs::path const& root) {
    int out[2];
    if (::pipe(out) != 0) std::exit(1);
    auto const t0 = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        if (::chdir(root.c_str()) != 0) ::_exit(126);
        std::string exe = (root / "bin/dvrcore").string();
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    double startMs = -1;
    // The dispatcher's first turn prints the first status summary ("InQ:").
    while (startMs < 0) {
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.find("InQ:") != std::string::npos)
            startMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }
    std::this_thread::sleep_for(std::chrono::seconds(2)); // let it idle
    long const rss = rssKiB(pid);
    ::kill(pid, SIGTERM);
    while (::read(out[0], buf, sizeof buf) > 0) {
    }
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    return {startMs, rss};
}

} // namespace

int main(int argc, char** argv) {
    dvr::bench::FigureTable table(argc, argv);
    int const runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    fs::path const root = fs::temp_directory_path() / ("dvrcore-startup-" + std::to_string(::getpid()));
    fs::create_directories(root / "bin/plugins");
    fs::copy_file(fs::path(DVR_BIN_DIR) / "dvrcore", root / "bin/dvrcore");
    fs::copy_file(fs::path(DVR_BIN_DIR) / "plugins/LogPI.so", root / "bin/plugins/LogPI.so");
    std::vector<Sample> samples;
    for (int i = 0; i < runs; ++i) samples.push_back(once(root));
    fs::remove_all(root);

    std::vector<double> ms;
    std::vector<long> rss;
    for (auto const& s : samples) {
        ms.push_back(s.startMs);
        rss.push_back(s.rss);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(rss.begin(), rss.end());
    std::printf("runs: %d\n", runs);
    std::printf("start to dispatcher: median %.1f ms (min %.1f, max %.1f)\n", ms[ms.size() / 2], ms.front(), ms.back());
    std::printf("idle resident memory: median %ld KiB (min %ld, max %ld)\n", rss[rss.size() / 2], rss.front(),
                rss.back());
    table.add("start to dispatcher, median", "ms", ms[ms.size() / 2]);
    table.add("idle resident memory, median", "KiB", static_cast<double>(rss[rss.size() / 2]));
    return 0;
}
