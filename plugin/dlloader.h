// A thin layer over the platform dynamic loader.
#pragma once

#include <string>

namespace dlloader {

/// Load code when a library cannot be opened (ELIBACC on the appliance).
inline constexpr int kCannotOpen = 83;

/// Opens a library with immediate binding and local symbols; null on failure.
void* load(char const* path);
/// Looks a symbol up in a library; null when absent.
void* sym(void* handle, char const* name);
/// Closes a library (kept mapped in builds for sanitizer runs).
int close(void* handle);
/// The load code for a library that cannot be opened.
int error();
/// The loader's last error text, or "unknown".
std::string errmsg();
/// True when `text`, a failed load's error text, says the process ran short
/// of descriptors or memory: the library may be sound and load next time.
bool shortOfResources(std::string const& text);

} // namespace dlloader
