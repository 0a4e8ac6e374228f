// A test plugin that changes the process state it shares with the core, as
// careless plugins do, each change chosen with a HOSTILE_* variable: it
// forks a helper that keeps the inherited descriptors, moves the working
// directory, clears the file-creation mask, or puts another file under
// standard output or under any descriptor number.
// It logs "hostile open" once its changes are made.
#include "dvrcore/plugin_interface.h"
#include "test_plugin_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kAddress = 0x00230000u;

ox_EventCallback g_post = nullptr;

void trace(std::string const& line) { test_plugin::trace("Hostile", line); }

int postLog(std::string text) {
    auto e = testing_support::Record(kAddress | 1u, OX_TYPE_LOG, OX_LIVE_CLASS | OX_TEXT_PAYLOAD, text.data(),
                                     static_cast<uint32_t>(text.size()));
    e.level = 25;
    return g_post(&e, nullptr);
}

/// A helper process that lives on after the core, holding the files the
/// core had open; it lets go of its standard streams and of inherited pipes,
/// so that a test's output pipes still end with the core.
void forkHelper() {
    pid_t const pid = ::fork();
    if (pid == 0) {
        int const null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
        for (int fd = 3; fd < 1024; ++fd) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) ::close(fd);
        }
        for (;;) ::pause();
    }
    trace("helper " + std::to_string(pid));
}

} // namespace

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) {
    g_post = in->callback;
    out->address = kAddress;
    // Before the core saves its configuration and the log plugin creates its file.
    if (std::getenv("HOSTILE_UMASK0")) ::umask(0);
    if (char const* dir = std::getenv("HOSTILE_CHDIR")) trace(std::string("chdir ") + (::chdir(dir) == 0 ? "done" : "failed"));
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    if (std::getenv("HOSTILE_FORK")) forkHelper();
    if (char const* file = std::getenv("HOSTILE_STDOUT")) {
        // Closes standard output; the next file opened takes its number.
        ::close(1);
        int const fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        trace("stdout now " + std::to_string(fd));
    }
    if (char const* number = std::getenv("HOSTILE_REPLACE_FD")) {
        int const null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(null, std::atoi(number));
        ::close(null);
    }
    postLog("hostile open");
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) { return 0; }

OX_PLUGIN_EXPORT int OnEvent(ox::core::EventParms const*) { return 0; }
