#include "core/work_dir_lock.h"

#include "config/working_dir.h"
#include "log/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char const* kLockFile = "dvrcore.lock"; // in the working directory, beside core.xml
constexpr mode_t kLockMode = 0600;

struct flock wholeFile(short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET; // start 0, length 0: the whole file
    return l;
}
} // namespace

namespace ox::core {

WorkDirLock::Result WorkDirLock::take() {
    // A write lock needs a descriptor open for writing.
    fd_.reset(::openat(ox::config::workingDirectory(), kLockFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockMode));
    if (!fd_.valid()) {
        int const err = errno;
        if (err == EROFS || err == EACCES || err == EPERM) {
            // A read-only working directory ran before; it still does, unguarded.
            logSev<kLogNotice>("cannot open {}: {}; running without the working-directory lock", kLockFile,
                               std::strerror(err));
            return Result::unguarded;
        }
        // Out of descriptors or memory: a second core could start beside this one.
        logSev<kLogCritical>("cannot open {}: {}", kLockFile, std::strerror(err));
        return Result::failed;
    }
    ::fchmod(fd_.get(), kLockMode); // independent of the mask the parent left; fails harmlessly on another's file
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd_.get(), F_SETLK, &lock) == 0) return Result::locked;
    int const err = errno;
    if (err != EAGAIN && err != EACCES) {
        logSev<kLogCritical>("cannot lock {}: {}", kLockFile, std::strerror(err));
        return Result::failed;
    }
    struct flock holder = wholeFile(F_WRLCK);
    if (::fcntl(fd_.get(), F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0)
        logSev<kLogCritical>("another core is running in this working directory ({} is locked by process {})",
                             kLockFile, holder.l_pid);
    else // gone meanwhile, or in another pid namespace
        logSev<kLogCritical>("another core is running in this working directory ({} is locked)", kLockFile);
    return Result::failed;
}

} // namespace ox::core
