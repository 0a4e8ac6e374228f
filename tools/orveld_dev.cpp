// orveld-dev: a development parent daemon for the core. It starts dvrcore on
// one end of a socket pair, sends the identity packet, prints every request
// the core relays, optionally answers each with a result, sends the stop
// packet on SIGINT/SIGTERM (or after a given time) and exits with the core's
// exit status. With -x it is a hostile parent for soak runs: replies come
// split, merged or late, now and then it stops reading, it sends packets of
// impossible lengths, and it stops draining the core's console for a while.
#include "dvrcore/ipc_packet.h"

#include <cerrno>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
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
    bool hostile = false;               // -x
    unsigned long seed = 0;             // -x SEED
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
                 "  -x SEED   hostile parent (with -e): replies split, merged and late, pauses in\n"
                 "            reading the socket and the core's console, packets of bad lengths\n"
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
    while ((c = ::getopt(argc, argv, "+c:l:n:v:o:et:x:qh")) != -1) {
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
        case 'x': o.hostile = true; o.seed = std::strtoul(optarg, nullptr, 10); break;
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

long nowMs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

/// What goes to the core, in stream order: a chunk waits for its time and
/// holds back every chunk behind it, so a packet sent in pieces is never
/// interleaved with another. Late replies wait aside and join the end when
/// due. Chunks marked lone (packets of bad lengths) are written with quiet
/// time before and after, so that the core discards them with nothing else.
class Outbox {
public:
    static constexpr long kQuietMs = 150;

    void add(std::vector<char> bytes, long notBefore = 0, bool lone = false) {
        stream_.push_back({notBefore, std::move(bytes), lone});
    }
    void addLate(std::vector<char> bytes, long due) { late_.push_back({due, std::move(bytes), false}); }

    /// Writes what is due; false when the socket failed.
    bool flush(int fd, long now) {
        for (auto it = late_.begin(); it != late_.end();) {
            if (it->at <= now) {
                stream_.push_back({now, std::move(it->bytes), false});
                it = late_.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<char> batch;
        while (!stream_.empty() && stream_.front().at <= now && now >= quietUntil_) {
            Chunk& c = stream_.front();
            if (c.lone) {
                if (!batch.empty()) break; // quiet time first
                if (now < lastWrite_ + kQuietMs) break;
                bool const ok = writeAll(fd, c.bytes.data(), c.bytes.size());
                stream_.pop_front();
                lastWrite_ = now;
                quietUntil_ = now + kQuietMs;
                return ok;
            }
            // Consecutive due chunks go out in one write: merged packets.
            batch.insert(batch.end(), c.bytes.begin(), c.bytes.end());
            stream_.pop_front();
        }
        if (batch.empty()) return true;
        lastWrite_ = now;
        return writeAll(fd, batch.data(), batch.size());
    }

    /// Milliseconds until something may be written, -1 when nothing waits.
    long wait(long now) const {
        long at = -1;
        auto consider = [&](long t) { at = at < 0 || t < at ? t : at; };
        if (!stream_.empty()) {
            long t = stream_.front().at > quietUntil_ ? stream_.front().at : quietUntil_;
            if (stream_.front().lone && t < lastWrite_ + kQuietMs) t = lastWrite_ + kQuietMs;
            consider(t);
        }
        for (auto const& c : late_) consider(c.at);
        return at < 0 ? -1 : (at > now ? at - now : 0);
    }

    bool idle() const { return stream_.empty() && late_.empty(); }

private:
    struct Chunk {
        long at;
        std::vector<char> bytes;
        bool lone;
    };
    std::deque<Chunk> stream_;
    std::vector<Chunk> late_;
    long lastWrite_ = 0;
    long quietUntil_ = 0;
};

/// The hostile parent's choices and what it did.
struct Hostility {
    std::mt19937 rng;
    long nextReadPause = 0, readPausedUntil = 0;
    long nextConsolePause = 0, consolePausedUntil = 0;
    long nextBadPacket = 0;
    unsigned long replies = 0, split = 0, merged = 0, late = 0, bad = 0, readPauses = 0, consolePauses = 0;

    explicit Hostility(unsigned long seed, long now) : rng(static_cast<uint32_t>(seed)) {
        nextReadPause = now + 3000 + rng() % 7000;
        nextConsolePause = now + 5000 + rng() % 15000;
        nextBadPacket = now + 2000 + rng() % 9000;
    }
    long between(long lo, long hi) { return lo + static_cast<long>(rng() % static_cast<uint32_t>(hi - lo + 1)); }

    /// One reply, sent the way chance says.
    void reply(Outbox& out, std::vector<char> bytes, long now) {
        ++replies;
        unsigned const r = rng() % 100;
        if (r < 12 && bytes.size() > 1) {
            ++split;
            size_t const cut = 1 + rng() % (bytes.size() - 1);
            out.add(std::vector<char>(bytes.begin(), bytes.begin() + static_cast<long>(cut)), now);
            out.add(std::vector<char>(bytes.begin() + static_cast<long>(cut), bytes.end()), now + between(5, 40));
        } else if (r < 24) {
            ++merged; // held a moment: the replies behind it go out in the same write
            out.add(std::move(bytes), now + between(10, 60));
        } else if (r < 32) {
            ++late;
            out.addLate(std::move(bytes), now + between(500, 3000));
        } else {
            out.add(std::move(bytes), now);
        }
    }

    /// Packets of impossible lengths, and the pauses, when their time has come.
    void tick(Outbox& out, long now) {
        if (now >= nextBadPacket) {
            ++bad;
            uint32_t const length = rng() % 2 ? OX_IPC_MAX_PACKET + 1 + rng() % 10000 : rng() % OX_IPC_HEADER_SIZE;
            ox_IpcHeader const h{length, 0, 9, 0};
            std::vector<char> b(sizeof h);
            std::memcpy(b.data(), &h, sizeof h);
            out.add(std::move(b), now, true);
            nextBadPacket = now + between(4000, 15000);
        }
        if (now >= nextReadPause) {
            ++readPauses;
            readPausedUntil = now + between(2000, 5000);
            nextReadPause = readPausedUntil + between(5000, 20000);
        }
        if (now >= nextConsolePause) {
            ++consolePauses;
            consolePausedUntil = now + between(2000, 4000);
            nextConsolePause = consolePausedUntil + between(10000, 30000);
        }
    }
    /// When the next choice or the end of a pause is due.
    long nextTick(long now) const {
        long t = nextBadPacket < nextReadPause ? nextBadPacket : nextReadPause;
        if (nextConsolePause < t) t = nextConsolePause;
        if (readPausedUntil > now && readPausedUntil < t) t = readPausedUntil;
        if (consolePausedUntil > now && consolePausedUntil < t) t = consolePausedUntil;
        return t;
    }
    void summary() const {
        std::printf("orveld-dev: hostile parent: %lu replies (%lu split, %lu merged, %lu late), %lu bad packets, "
                    "%lu read pauses, %lu console pauses\n",
                    replies, split, merged, late, bad, readPauses, consolePauses);
        std::fflush(stdout);
    }
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
    // A hostile parent relays the core's console so that it can stop draining it.
    int console[2] = {-1, -1};
    if (o.hostile && ::pipe2(console, O_CLOEXEC) != 0) {
        std::perror("orveld-dev");
        return kExitSystem;
    }

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
        if (console[1] >= 0) ::dup2(console[1], STDOUT_FILENO);
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
    if (console[1] >= 0) ::close(console[1]);
    int consoleFd = console[0];
    int const sock = sv[0];

    std::string identity = o.name + '\0' + o.version;
    if (o.sendOptions) identity += '\0' + o.options;
    auto const id = packet(OX_IPC_TYPE_IDENTITY, 0, identity);
    bool connected = writeAll(sock, id.data(), id.size());

    long const start = nowMs();
    Hostility hostility(o.seed, start);
    Outbox out;
    bool stopSent = false;
    auto sendStop = [&] {
        if (stopSent || !connected) return;
        // Behind whatever is on its way, so that no packet is cut by it.
        out.add(packet(OX_IPC_TYPE_STOP, 0, ""));
        stopSent = true;
        if (!o.quiet) std::printf("orveld-dev: stop sent\n");
        std::fflush(stdout);
    };
    auto finish = [&](int status) {
        if (o.hostile) hostility.summary();
        return exitStatusOf(status);
    };

    Requests requests;
    std::vector<char> rbuf(OX_IPC_MAX_PACKET);
    for (;;) {
        long const now = nowMs();
        if (connected && !out.flush(sock, now)) connected = false;
        long timeout = connected ? out.wait(now) : -1;
        auto sooner = [&](long ms) { timeout = timeout < 0 || ms < timeout ? ms : timeout; };
        if (o.stopAfter >= 0 && !stopSent) {
            long const left = start + o.stopAfter * 1000 - now;
            if (left <= 0) {
                sendStop();
                continue;
            }
            sooner(left);
        }
        bool readPaused = false, consolePaused = false;
        if (o.hostile) {
            hostility.tick(out, now);
            readPaused = now < hostility.readPausedUntil;
            consolePaused = now < hostility.consolePausedUntil;
            long const next = hostility.nextTick(now);
            sooner(next > now ? next - now : 0);
        }
        pollfd fds[3] = {{sigFd, POLLIN, 0},
                         {connected && !readPaused ? sock : -1, POLLIN, 0},
                         {consolePaused ? -1 : consoleFd, POLLIN, 0}};
        if (::poll(fds, 3, static_cast<int>(timeout)) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            if (::read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGCHLD) {
                    int status = 0;
                    if (::waitpid(child, &status, WNOHANG) == child) {
                        // The console's last lines before the status.
                        if (consoleFd >= 0) ::fcntl(consoleFd, F_SETFL, O_NONBLOCK);
                        for (ssize_t n; consoleFd >= 0 && (n = ::read(consoleFd, rbuf.data(), rbuf.size())) > 0;)
                            writeAll(STDOUT_FILENO, rbuf.data(), static_cast<size_t>(n));
                        return finish(status);
                    }
                } else if (!stopSent && connected) {
                    sendStop();
                } else {
                    ::kill(child, SIGTERM);
                }
            }
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t const n = ::read(consoleFd, rbuf.data(), rbuf.size());
            if (n > 0) {
                std::fflush(stdout);
                writeAll(STDOUT_FILENO, rbuf.data(), static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(consoleFd);
                consoleFd = -1;
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
                    if (o.hostile)
                        hostility.reply(out, std::move(reply), nowMs());
                    else
                        out.add(std::move(reply));
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
    return finish(status);
}
