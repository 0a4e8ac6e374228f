// Process entry: the descriptor argument, the own path, one DvrCore.
#include "core/dvr_core.h"
#include "core/post_gate.h"
#include "core/shutdown.h"
#include "core/stop_signals.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
constexpr int kExitOk = 0;
constexpr int kExitNoPath = 1;
constexpr int kExitInitFailed = 2;
/// What an argument outside the int range becomes: no descriptor at all, so
/// Init refuses it like any other that is no socket to the parent.
constexpr int kNoSuchDescriptor = -2;

int descriptorOf(char const* arg) {
    errno = 0;
    long long const n = std::strtoll(arg, nullptr, 10); // no digits: 0
    if (errno == ERANGE || n < INT_MIN || n > INT_MAX) return kNoSuchDescriptor;
    return static_cast<int>(n);
}
} // namespace

int main(int argc, char* argv[]) {
    // Before any thread exists, so that every thread inherits the blocked stop
    // signals: a stop signal before the core's signal thread runs waits, pending.
    ox::core::StopSignals::prepareProcess();

    int pipe = -1;
    for (int i = 1; i < argc; ++i) {
        char const* arg = argv[i];
        if (arg[0] != '-') {
            pipe = descriptorOf(arg);
            break;
        }
        // "--help" too: typed by hand it must not start a core in the folder.
        if (arg[1] == 'h' || std::strcmp(arg, "--help") == 0) {
            std::fprintf(stderr, "core version %s\n", DvrCore::kVersion);
            std::fflush(stderr);
            std::fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
            std::fflush(stderr);
            return kExitOk;
        }
    }

    std::error_code ec;
    auto const exe = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec) {
        std::fputs("failed to find canonical path", stderr);
        return kExitNoPath;
    }

    DvrCore* core = nullptr;
    try {
        core = new DvrCore(exe.string());
    } catch (std::exception const& e) {
        // The I/O service needs descriptors of its own.
        std::fprintf(stderr, "failed to initialize core: %s\n", e.what());
        return kExitInitFailed;
    }
    SetCore(core);
    if (!core->Init(pipe)) {
        std::fputs("failed to initialize core\n", stderr);
        std::fflush(stderr);
        return kExitInitFailed;
    }
    core->Run();
    // Posts from plugin threads still inside the core finish first; later ones are refused.
    auto const grace = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    bool const postsEnded = ox::core::postGate().closeAndWait(std::max(core->stopDeadline(), grace));
    if (core->leftRunning() || !postsEnded) {
        // A plugin call or thread outlived the stop deadline and will return
        // into the core: end the process without tearing the core down.
        core->reportAndLeave();
        std::_Exit(ox::core::Shutdown::kTooLateStatus);
    }
    delete core; // reports references still held, through the log
    SetCore(nullptr);
    return kExitOk;
}
