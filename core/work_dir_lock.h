// The working directory's lock file, dvrcore.lock: one core per working
// directory, since two would save over each other's core.xml.
#pragma once

#include "config/fd.h"

namespace ox::core {

/// A process-associated record lock (fcntl): a child that a plugin forks
/// does not inherit it, so a helper that outlives the core does not keep the
/// next core from starting. Held until the object goes.
///
/// Threads: taken and released on the main thread.
class WorkDirLock {
public:
    enum class Result {
        locked,    ///< this core holds the lock
        unguarded, ///< the file cannot be made or written here (read-only directory): run without it
        failed,    ///< another core holds it, or the core lacks the means to take it: do not start
    };

    WorkDirLock() = default;
    WorkDirLock(WorkDirLock const&) = delete;
    WorkDirLock& operator=(WorkDirLock const&) = delete;

    /// Opens and locks the file through the working-directory descriptor; logs
    /// why when the result is not `locked`.
    Result take();

private:
    ox::config::Fd fd_; ///< the open lock file, close-on-exec; closing it releases the lock
};

} // namespace ox::core
