// The directory the core started in, held open: the store's relative paths,
// core.xml, product.xml and the working-directory lock resolve against it,
// so a plugin's chdir does not move where the core keeps its files.
#pragma once

namespace ox::config {

/// Opens the current directory once (close-on-exec). Returns 0, or the errno
/// of the failure; the current directory is then used as before.
int openWorkingDirectory() noexcept;

/// The descriptor relative paths resolve against: the one opened above, or
/// AT_FDCWD before it (tests and tools that never open one).
int workingDirectory() noexcept;

} // namespace ox::config
