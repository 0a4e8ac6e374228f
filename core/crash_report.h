// The line a fatal signal leaves behind: which plugin and entry point the
// crashing thread was in (or "the core"), the event it was delivering and the
// faulting address, on the console and in log/crash.log. Then the signal is
// raised again with its default action, so the parent still sees it.
#pragma once

namespace ox::core {

/// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT.
/// `consoleFd` and `workDirFd` (the working directory, for log/crash.log) stay open for the process's life.
void installCrashReport(int consoleFd, int workDirFd) noexcept;

} // namespace ox::core
