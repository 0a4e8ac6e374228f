#include "config/working_dir.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ox::config {
namespace {
/// Set once at start by the main thread, read by any thread that saves or loads.
std::atomic<int> g_dir{AT_FDCWD};
} // namespace

int openWorkingDirectory() noexcept {
    // O_PATH: only a base for openat and renameat; it needs no read permission.
    int const fd = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int const old = g_dir.exchange(fd);
    if (old >= 0) ::close(old);
    return 0;
}

int workingDirectory() noexcept { return g_dir.load(std::memory_order_relaxed); }

} // namespace ox::config
