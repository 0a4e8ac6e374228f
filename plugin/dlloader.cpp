#include "plugin/dlloader.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>

namespace dlloader {

namespace {
#ifdef DVR_KEEP_LIBRARIES
// Sanitizer runs keep code mapped so reports can still name plugin frames.
constexpr int kExtraFlags = RTLD_NODELETE;
#else
constexpr int kExtraFlags = 0;
#endif
} // namespace

void* load(char const* path) { return ::dlopen(path, RTLD_NOW | RTLD_LOCAL | kExtraFlags); }

void* sym(void* handle, char const* name) { return handle ? ::dlsym(handle, name) : nullptr; }

int close(void* handle) { return ::dlclose(handle); }

int error() { return kCannotOpen; }

std::string errmsg() {
    char const* text = ::dlerror();
    return text ? text : "unknown";
}

bool shortOfResources(std::string const& text) {
    // The loader reports why it could not open a file only in its text.
    for (int err : {EMFILE, ENFILE, ENOMEM})
        if (text.find(std::strerror(err)) != std::string::npos) return true;
    return false;
}

} // namespace dlloader
