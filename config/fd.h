// One open file descriptor and its close: the configuration store's files and
// the working directory's lock file.
#pragma once

#include <cerrno>
#include <unistd.h>

namespace ox::config {

class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { close(); }
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    /// Closes what it holds and takes `fd`.
    void reset(int fd) noexcept {
        close();
        fd_ = fd;
    }
    /// Keeps errno: the caller is often reporting the error that made it close.
    void close() noexcept {
        if (fd_ >= 0) {
            int const saved = errno;
            ::close(fd_);
            errno = saved;
            fd_ = -1;
        }
    }

private:
    int fd_ = -1; ///< -1 when closed
};

} // namespace ox::config
