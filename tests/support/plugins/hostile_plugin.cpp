// A test plugin that changes the process state it shares with the core, as
// careless plugins do, each change chosen with a HOSTILE_* variable: it
// forks a helper that keeps the inherited descriptors, moves the working
// directory, clears the file-creation mask, or puts another file under
// standard output or a socket of its own under any descriptor number.
// It logs "hostile open" once its changes are made.
#include "dvrcore/plugin_interface.h"
#include "test_plugin_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kAddress = 0x00230000u;

ox_EventCallback g_post = nullptr;
int g_keptEnd = -1; ///< the other end of the socket put under HOSTILE_REPLACE_FD; closed at Close
std::vector<int> g_hoard; ///< descriptors HOSTILE_HOARD_FDS takes in Load; given back in Open

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
    if (std::getenv("HOSTILE_HOARD_FDS")) {
        // Every free descriptor, as a leaking library takes them: the next
        // plugin's library cannot be opened.
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) g_hoard.push_back(fd);
    }
    return 0;
}

OX_PLUGIN_EXPORT int Unload(UnloadParams const*, UnloadResult*) { return 0; }

OX_PLUGIN_EXPORT int Open(OpenParams const*, OpenResult*) {
    for (int fd : g_hoard) ::close(fd);
    g_hoard.clear();
    if (std::getenv("HOSTILE_FORK")) forkHelper();
    if (char const* file = std::getenv("HOSTILE_STDOUT")) {
        // Closes standard output; the next file opened takes its number.
        ::close(1);
        int const fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        trace("stdout now " + std::to_string(fd));
    }
    if (char const* number = std::getenv("HOSTILE_REPLACE_FD")) {
        // A socket of its own under the number: reads on it wait for ever,
        // as a read the replaced socket had pending does.
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            ::dup2(sv[0], std::atoi(number));
            ::close(sv[0]);
            g_keptEnd = sv[1];
        }
    }
    postLog("hostile open");
    return 0;
}

OX_PLUGIN_EXPORT int Close(CloseParams const*, CloseResult*) {
    if (g_keptEnd >= 0) ::close(g_keptEnd);
    g_keptEnd = -1;
    return 0;
}

OX_PLUGIN_EXPORT int OnEvent(ox::core::EventParms const*) { return OX_EVENT_DONE; }
