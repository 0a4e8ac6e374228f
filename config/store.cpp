#include "dvrcore/store.h"

#include "config/fd.h"
#include "config/store_error.h"
#include "config/working_dir.h"
#include "dvrcore/xml_document.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oxcfg {
namespace {

using ox::config::Fd;

// Failure texts: each is followed by the path, " - " and the errno text.
constexpr char kOpenFailed[] = "Failed to open ";
constexpr char kSizeFailed[] = "Failed to get size of ";
constexpr char kReadFailed[] = "Failed to read ";
constexpr char kWriteFailed[] = "Failed to write ";
constexpr char kRenameFailed[] = "Failed to rename ";
// Stands alone.
constexpr char kNotXml[] = "Failed - not xml content";

constexpr std::string_view kXmlStart = "<?xml";
// Owner only, as the core's file-creation mask 077 always made the files:
// set explicitly, so a plugin's umask(0) cannot leave them world-writable.
constexpr mode_t kFileMode = 0600;
// Reasons without an errno of their own.
constexpr char kNotRegular[] = "not a regular file";

// GNU and XSI strerror_r differ in return type; both give strerror's text.
[[maybe_unused]] char const* errorText(int, char const* text) { return text; }
[[maybe_unused]] char const* errorText(int rc, char* buffer) { return rc == 0 ? buffer : "Unknown error"; }

std::string failText(char const* prefix, std::string const& path, char const* reason, int err) {
    char buffer[128];
    std::string message(prefix);
    message += path;
    message += " - ";
    message += reason ? reason : errorText(0, strerror_r(err, buffer, sizeof buffer));
    return message;
}

[[noreturn]] void fail(char const* prefix, std::string const& path, char const* reason = nullptr) {
    throw std::runtime_error(failText(prefix, path, reason, errno));
}

/// The file could not be reached this time; what it holds is unknown.
[[noreturn]] void failAccess(char const* prefix, std::string const& path) {
    int const err = errno != 0 ? errno : EIO; // a read that ended early: the file shrank under us
    throw AccessError(failText(prefix, path, nullptr, err), err);
}

int dir() noexcept { return ox::config::workingDirectory(); }

void requireXml(std::string_view content) {
    if (!content.starts_with(kXmlStart)) throw std::runtime_error(kNotXml);
}

// Parses the whole text so a truncated or corrupt file is detected.
void requireWellFormed(std::string const& text) {
    auto scratch = std::make_unique<rapidxml::xmlDocument<char>>();
    scratch->parse<rapidxml::kParseNonDestructive>(text);
}

std::string sideName(std::string_view path) {
    std::string side(path);
    side += kPendingSuffix;
    return side;
}


} // namespace

std::string readWholeFile(std::string const& path) {
    // Non-blocking, so that a FIFO or device under a configuration name
    // cannot hang the caller in open(); only regular files are read.
    Fd fd(::openat(dir(), path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) failAccess(kOpenFailed, path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) failAccess(kSizeFailed, path);
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        fail(kReadFailed, path);
    }
    if (!S_ISREG(st.st_mode)) fail(kReadFailed, path, kNotRegular);
    std::string bytes;
    if (st.st_size < 0 || std::uintmax_t(st.st_size) > kMaxConfigSize) {
        errno = EFBIG;
        fail(kReadFailed, path);
    }
    bytes.resize(std::size_t(st.st_size));
    // Retries interrupted and partial reads; anything short of the size fails.
    std::size_t done = 0;
    while (done < bytes.size()) {
        errno = 0;
        ssize_t const got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) failAccess(kReadFailed, path);
        done += std::size_t(got);
    }
    return bytes;
}

void saveConfigOpaque(std::string_view path, std::string_view content) {
    std::string const side = sideName(path);
    // The side file is the store's own: a FIFO or socket under its name is
    // debris that would make every save fail.
    struct stat st {};
    if (::fstatat(dir(), side.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        ::unlinkat(dir(), side.c_str(), 0);
    // Non-blocking all the same: a FIFO made meanwhile fails the open instead of hanging it.
    Fd fd(::openat(dir(), side.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC | O_NONBLOCK, kFileMode));
    if (!fd.valid()) fail(kOpenFailed, side);
    // The mask only narrows the mode at creation; an older side file keeps its own.
    ::fchmod(fd.get(), kFileMode);
    std::size_t done = 0;
    while (done < content.size()) {
        errno = 0;
        ssize_t const put = ::write(fd.get(), content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) fail(kWriteFailed, side);  // the side file stays; the next load drops it
        done += std::size_t(put);
    }
    fd.close();
    std::string const target(path);
    if (::renameat(dir(), side.c_str(), dir(), target.c_str()) != 0) {
        // The caller learns the save failed, so a later load must not
        // promote the side file either.
        int const err = errno;
        ::unlinkat(dir(), side.c_str(), 0);
        errno = err;
        fail(kRenameFailed, side);
    }
}

void saveConfig(std::string_view path, std::string_view content) {
    requireXml(content);
    // What loadConfig would refuse is not stored: the old file stays readable.
    if (content.size() > kMaxConfigSize) {
        errno = EFBIG;
        fail(kWriteFailed, sideName(path));
    }
    saveConfigOpaque(path, content);
}

std::string loadConfig(std::string_view path) {
    std::string const target(path);
    std::string const side = sideName(path);
    bool sideUnread = false; // it exists but could not be read: it may be the newest save
    try {
        std::string text = readWholeFile(side);
        requireXml(text);
        requireWellFormed(text);
        ::renameat(dir(), side.c_str(), dir(), target.c_str()); // finishes an interrupted save; the text is returned either way
        return text;
    } catch (AccessError const& e) {
        sideUnread = e.error() != ENOENT;
    } catch (std::exception const&) {
        // Incomplete side file: the target holds the truth.
    }
    std::string text = readWholeFile(target);
    requireXml(text);
    requireWellFormed(text);
    if (!sideUnread) ::unlinkat(dir(), side.c_str(), 0);
    return text;
}

} // namespace oxcfg
