// Test helper: starts a command as the child of a parent that runs as another
// user, the way the parent daemon starts the core.
//   run_as_parent <user> <mode> -- <command> [args...]
// mode "switch": the child starts as root and the parent changes to <user>
//                before the child runs the command;
// mode "same":   the parent changes to <user> first, so both run as <user>.
// Prints "pid <n>" of the child on standard error, forwards SIGTERM/SIGINT to
// it, and exits with its status.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pid_t g_child = -1;

void forward(int sig) {
    if (g_child > 0) ::kill(g_child, sig);
}

bool become(passwd const* pw) {
    return ::initgroups(pw->pw_name, pw->pw_gid) == 0 && ::setgid(pw->pw_gid) == 0 && ::setuid(pw->pw_uid) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
        std::fprintf(stderr, "usage: %s <user> switch|same -- command [args...]\n", argv[0]);
        return 64;
    }
    passwd const* pw = ::getpwnam(argv[1]);
    if (!pw) {
        std::fprintf(stderr, "no user %s\n", argv[1]);
        return 65;
    }
    bool const same = std::strcmp(argv[2], "same") == 0;
    if (same && !become(pw)) {
        std::perror("become");
        return 66;
    }
    int go[2];
    if (::pipe(go) != 0) return 67;
    g_child = ::fork();
    if (g_child == 0) {
        ::close(go[1]);
        char c;
        while (::read(go[0], &c, 1) < 0 && errno == EINTR) {
        }
        ::close(go[0]);
        ::execvp(argv[4], argv + 4);
        ::_exit(127);
    }
    ::close(go[0]);
    std::signal(SIGTERM, forward);
    std::signal(SIGINT, forward);
    if (!same && !become(pw)) {
        std::perror("become");
        ::kill(g_child, SIGKILL);
        return 66;
    }
    std::fprintf(stderr, "pid %d\n", static_cast<int>(g_child));
    std::fflush(stderr);
    ssize_t n = ::write(go[1], "g", 1);
    (void)n;
    ::close(go[1]);
    int status = 0;
    while (::waitpid(g_child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
