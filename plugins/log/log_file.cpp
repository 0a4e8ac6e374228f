#include "log_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace logpi {
namespace {
// Owner only, set explicitly: a plugin's umask(0) must not leave the log world-writable.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;
} // namespace

LogFile::LogFile(std::string path, uint64_t maxBytes, unsigned keep, int dir)
    : path_(std::move(path)), maxBytes_(maxBytes), keep_(keep), dir_(dir) {}

LogFile::~LogFile() {
    if (file_) std::fclose(file_);
}

bool LogFile::open() {
    if (file_) return true;
    auto const slash = path_.rfind('/');
    if (slash != std::string::npos) {
        std::string const folder = path_.substr(0, slash);
        // The mode whatever the mask; a folder that keeps a narrower one only costs the log.
        if (::mkdirat(dir_, folder.c_str(), kFolderMode) == 0 && ::fchmodat(dir_, folder.c_str(), kFolderMode, 0) != 0) {
        }
    }
    // Created with its mode set whatever the mask; an existing file keeps the one it has.
    int fd = ::openat(dir_, path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd >= 0)
        ::fchmod(fd, kFileMode);
    else if (errno == EEXIST)
        fd = ::openat(dir_, path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    file_ = ::fdopen(fd, "a");
    if (!file_) {
        ::close(fd);
        return false;
    }
    struct stat st {};
    size_ = ::fstat(fileno(file_), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

void LogFile::rotate() {
    std::fclose(file_);
    file_ = nullptr;
    // name.(N-1) -> name.N, ..., name -> name.1; the oldest is overwritten.
    for (unsigned i = keep_; i > 0; --i) {
        std::string const from = i == 1 ? path_ : path_ + "." + std::to_string(i - 1);
        ::renameat(dir_, from.c_str(), dir_, (path_ + "." + std::to_string(i)).c_str());
    }
    if (keep_ == 0) ::unlinkat(dir_, path_.c_str(), 0);
}

bool LogFile::write(std::string_view text) {
    if (!open()) return false;
    if (size_ > 0 && size_ + text.size() > maxBytes_) {
        rotate();
        if (!open()) return false;
    }
    size_t const n = std::fwrite(text.data(), 1, text.size(), file_);
    size_ += n;
    return n == text.size();
}

void LogFile::flush() {
    if (file_) std::fflush(file_);
}

} // namespace logpi
