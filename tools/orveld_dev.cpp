// orveld-dev: a development parent daemon for the core. It starts dvrcore on
// one end of a socket pair, sends the identity packet, prints every request
// the core relays, optionally answers each with a result, sends the stop
// packet on SIGINT/SIGTERM (or after a given time) and exits with the core's
// exit status.
#include "dvrcore/ipc_packet.h"

#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kExitUsage = 64;        // bad command line
constexpr int kExitSystem = 71;       // a system call failed before the core ran
constexpr int kExitSignalBase = 128;  // core killed by signal N: 128 + N
constexpr uint32_t kEchoFallbackType = 9; // echoes never carry a control type
constexpr size_t kPreviewBytes = 32;

struct Options {
    std::string core;                   // -c
    std::string name = "orveld-dev";    // -n
    std::string version = "0.0.0-dev";  // -v
    std::string options;                // -o
    bool sendOptions = false;
    bool echo = false;                  // -e
    bool quiet = false;                 // -q
    long stopAfter = -1;                // -t seconds
    std::vector<std::string> coreArgs;  // after the descriptor
    std::vector<std::string> launcher;  // -l: command words in front of the core (an emulator)
};

void usage(char const* argv0, FILE* to) {
    std::fprintf(to,
                 "Usage: %s [options] [-- extra core arguments]\n"
                 "Starts dvrcore on a socket pair and acts as its parent daemon.\n"
                 "  -c PATH   core executable (default: dvrcore beside this program)\n"
                 "  -l CMD    start the core through CMD, e.g. \"qemu-mipsel -L /usr/mipsel-linux-gnu\"\n"
                 "  -n NAME   parent file name sent in the identity packet (default orveld-dev)\n"
                 "  -v TEXT   parent version sent in the identity packet (default 0.0.0-dev)\n"
                 "  -o TEXT   option text of the identity packet, e.g. Background:true\n"
                 "  -e        echo mode: answer every request with a result carrying its bytes\n"
                 "            (a request of type 7 or 8 is answered with type 9)\n"
                 "  -t SECS   send the stop packet after SECS seconds\n"
                 "  -q        do not print requests\n"
                 "  -h        this text\n"
                 "SIGINT/SIGTERM send the stop packet; a second one is passed to the core as SIGTERM.\n"
                 "The exit status is the core's (128+N if signal N ended it).\n",
                 argv0);
}

std::string besideSelf(char const* file) {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return file;
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + file;
}

bool writeAll(int fd, char const* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::vector<char> packet(uint32_t type, uint32_t routing, std::string const& payload) {
    ox_IpcHeader h{static_cast<uint32_t>(OX_IPC_HEADER_SIZE + payload.size()), routing, type, 0};
    std::vector<char> out(sizeof h + payload.size());
    std::memcpy(out.data(), &h, sizeof h);
    std::memcpy(out.data() + sizeof h, payload.data(), payload.size());
    return out;
}

void printRequest(char const* p, ox_IpcHeader const& h) {
    size_t const payload = h.length - OX_IPC_HEADER_SIZE;
    size_t const shown = payload < kPreviewBytes ? payload : kPreviewBytes;
    std::string hex, text;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(p[OX_IPC_HEADER_SIZE + i]);
        char b[4];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
        text += std::isprint(c) ? static_cast<char>(c) : '.';
    }
    std::printf("orveld-dev: request length=%u routing=0x%08x plugin=%02x type=%u word3=0x%08x payload=%s%s |%s|\n",
                h.length, h.routing, ox_ipcPluginIdOf(h.routing), h.type, h.reserved, hex.c_str(),
                payload > shown ? "..." : "", text.c_str());
    std::fflush(stdout);
}

bool parse(int argc, char** argv, Options& o) {
    int c;
    while ((c = ::getopt(argc, argv, "+c:l:n:v:o:et:qh")) != -1) {
        switch (c) {
        case 'c': o.core = optarg; break;
        case 'l': {
            std::istringstream words(optarg);
            for (std::string w; words >> w;) o.launcher.push_back(w);
            break;
        }
        case 'n': o.name = optarg; break;
        case 'v': o.version = optarg; break;
        case 'o': o.options = optarg; o.sendOptions = true; break;
        case 'e': o.echo = true; break;
        case 't': o.stopAfter = std::strtol(optarg, nullptr, 10); break;
        case 'q': o.quiet = true; break;
        case 'h': usage(argv[0], stdout); std::exit(0);
        default: return false;
        }
    }
    for (int i = optind; i < argc; ++i) o.coreArgs.emplace_back(argv[i]);
    if (o.core.empty()) o.core = besideSelf("dvrcore");
    return true;
}

/// Cuts the byte stream from the core into request packets.
class Requests {
public:
    /// Returns false when the stream holds a length the core would never send.
    template <class F>
    bool feed(char const* p, size_t n, F&& onPacket) {
        buf_.insert(buf_.end(), p, p + n);
        size_t at = 0;
        while (buf_.size() - at >= OX_IPC_HEADER_SIZE) {
            ox_IpcHeader h;
            std::memcpy(&h, buf_.data() + at, sizeof h);
            if (h.length < OX_IPC_HEADER_SIZE || h.length > OX_IPC_MAX_PACKET) return false;
            if (buf_.size() - at < h.length) break;
            onPacket(buf_.data() + at, h);
            at += h.length;
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(at));
        return true;
    }

private:
    std::vector<char> buf_;
};

int exitStatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return kExitSignalBase + WTERMSIG(status);
    return kExitSystem;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage(argv[0], stderr);
        return kExitUsage;
    }

    // Signals arrive through a descriptor so one poll loop handles everything.
    sigset_t mask, oldMask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGCHLD);
    if (::sigprocmask(SIG_BLOCK, &mask, &oldMask) != 0) return kExitSystem;
    int const sigFd = ::signalfd(-1, &mask, SFD_CLOEXEC);
    int sv[2];
    if (sigFd < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        std::perror("orveld-dev");
        return kExitSystem;
    }
    std::signal(SIGPIPE, SIG_IGN);

    pid_t const child = ::fork();
    if (child < 0) {
        std::perror("orveld-dev: fork");
        return kExitSystem;
    }
    if (child == 0) {
        ::sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        std::signal(SIGPIPE, SIG_DFL);
        // A group of its own: a terminal's Ctrl-C reaches the core as our stop packet.
        ::setpgid(0, 0);
        ::fcntl(sv[1], F_SETFD, 0);
        std::string const fd = std::to_string(sv[1]);
        std::vector<char*> args;
        for (auto& w : o.launcher) args.push_back(w.data());
        args.push_back(const_cast<char*>(o.core.c_str()));
        args.push_back(const_cast<char*>(fd.c_str()));
        for (auto& a : o.coreArgs) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "orveld-dev: cannot start %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(sv[1]);
    int const sock = sv[0];

    std::string identity = o.name + '\0' + o.version;
    if (o.sendOptions) identity += '\0' + o.options;
    auto const id = packet(OX_IPC_TYPE_IDENTITY, 0, identity);
    bool connected = writeAll(sock, id.data(), id.size());

    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    bool stopSent = false;
    auto sendStop = [&] {
        if (stopSent || !connected) return;
        auto const stop = packet(OX_IPC_TYPE_STOP, 0, "");
        connected = writeAll(sock, stop.data(), stop.size());
        stopSent = true;
        if (!o.quiet) std::printf("orveld-dev: stop sent\n");
        std::fflush(stdout);
    };

    Requests requests;
    std::vector<char> rbuf(OX_IPC_MAX_PACKET);
    for (;;) {
        int timeout = -1;
        if (o.stopAfter >= 0 && !stopSent) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            long const elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            long const left = o.stopAfter * 1000 - elapsedMs;
            if (left <= 0) {
                sendStop();
                continue;
            }
            timeout = static_cast<int>(left);
        }
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {connected ? sock : -1, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            if (::read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGCHLD) {
                    int status = 0;
                    if (::waitpid(child, &status, WNOHANG) == child) return exitStatusOf(status);
                } else if (!stopSent && connected) {
                    sendStop();
                } else {
                    ::kill(child, SIGTERM);
                }
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::read(sock, rbuf.data(), rbuf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // The core closed its end: wait for it to exit.
                connected = false;
                continue;
            }
            bool ok = requests.feed(rbuf.data(), static_cast<size_t>(n), [&](char const* p, ox_IpcHeader const& h) {
                if (!o.quiet) printRequest(p, h);
                if (o.echo && connected) {
                    std::vector<char> reply(p, p + h.length);
                    if (h.type == OX_IPC_TYPE_IDENTITY || h.type == OX_IPC_TYPE_STOP) {
                        uint32_t const t = kEchoFallbackType;
                        std::memcpy(reply.data() + offsetof(ox_IpcHeader, type), &t, sizeof t);
                    }
                    connected = writeAll(sock, reply.data(), reply.size());
                }
            });
            if (!ok) {
                std::printf("orveld-dev: bad request length from the core; closing the channel\n");
                std::fflush(stdout);
                ::shutdown(sock, SHUT_RDWR);
                connected = false;
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return exitStatusOf(status);
}
