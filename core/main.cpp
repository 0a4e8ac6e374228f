// Process entry: the descriptor argument, the own path, one DvrCore.
#include "core/dvr_core.h"
#include "core/post_gate.h"
#include "core/shutdown.h"
#include "core/stop_signals.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {
constexpr int kExitOk = 0;
constexpr int kExitNoPath = 1;
constexpr int kExitInitFailed = 2;
} // namespace

int main(int argc, char* argv[]) {
    // Before any thread exists, so that every thread inherits the blocked stop
    // signals: a stop signal before the core's signal thread runs waits, pending.
    ox::core::StopSignals::prepareProcess();

    int pipe = -1;
    for (int i = 1; i < argc; ++i) {
        char const* arg = argv[i];
        if (arg[0] != '-') {
            pipe = static_cast<int>(std::strtol(arg, nullptr, 10));
            break;
        }
        if (arg[1] == 'h') {
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
