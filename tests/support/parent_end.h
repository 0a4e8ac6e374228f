// The parent daemon's end of the channel for process tests: a socket pair
// whose other end the core inherits, with whole-packet reads.
#pragma once

#include "dvrcore/ipc_packet.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

inline std::string ipcPacket(uint32_t type, uint32_t routing, std::string const& payload, int64_t length = -1) {
    ox_IpcHeader h{length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(OX_IPC_HEADER_SIZE + payload.size()),
                   routing, type, 0};
    return std::string(reinterpret_cast<char const*>(&h), sizeof h) + payload;
}

inline ox_IpcHeader ipcHeaderOf(std::string const& p) {
    ox_IpcHeader h;
    std::memcpy(&h, p.data(), sizeof h);
    return h;
}

class ParentEnd {
public:
    ParentEnd() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd_) != 0) throw std::runtime_error("socketpair");
    }
    ~ParentEnd() {
        closeOwn();
        if (fd_[1] >= 0) ::close(fd_[1]);
    }
    ParentEnd(ParentEnd const&) = delete;
    ParentEnd& operator=(ParentEnd const&) = delete;
    int coreEnd() const { return fd_[1]; }
    /// After the core has started: the parent keeps only its own end.
    void dropCoreEnd() {
        ::close(fd_[1]);
        fd_[1] = -1;
    }
    void closeOwn() {
        if (fd_[0] >= 0) ::close(fd_[0]);
        fd_[0] = -1;
    }
    void send(std::string const& bytes) {
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = ::send(fd_[0], bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            at += static_cast<size_t>(n);
        }
    }
    /// The next whole request, or nothing at the deadline or end of stream.
    std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto const deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (pending_.size() >= OX_IPC_HEADER_SIZE) {
                uint32_t const len = ipcHeaderOf(pending_).length;
                if (len < OX_IPC_HEADER_SIZE) return std::nullopt; // framing lost
                if (pending_.size() >= len) {
                    std::string p = pending_.substr(0, len);
                    pending_.erase(0, len);
                    return p;
                }
            }
            auto const left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd_[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char buf[65536];
            ssize_t n = ::recv(fd_[0], buf, sizeof buf, 0);
            if (n <= 0) return std::nullopt;
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

private:
    int fd_[2] = {-1, -1};
    std::string pending_;
};

} // namespace testing_support
