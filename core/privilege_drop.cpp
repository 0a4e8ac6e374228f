#include "core/privilege_drop.h"

#include "log/log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kSecureBitsOption = 28; // PR_SET_SECUREBITS
constexpr unsigned long kNoSetuidFixup = 4; // SECBIT_NO_SETUID_FIXUP: keep capabilities across setuid
constexpr int kMaxGroups = 256;

} // namespace

unsigned GetParentUid() {
    std::string const path = "/proc/" + std::to_string(::getppid()) + "/status";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    char line[256];
    unsigned uid = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "Uid: %u", &uid) == 1;
    std::fclose(f);
    return found ? uid : 0;
}

namespace ox::core {

int setCapabilities(uint32_t caps) {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[2]{};
    data[0].effective = caps;
    data[0].permitted = caps;
    data[0].inheritable = 0;
    return ::syscall(SYS_capset, &header, data) < 0 ? errno : 0;
}

bool dropPrivileges(bool* switchedUser) {
    ::prctl(kSecureBitsOption, kNoSetuidFixup, 0, 0, 0);
    unsigned const parent = GetParentUid();
    bool const switching = ::getuid() != parent;
    if (switchedUser) *switchedUser = switching;
    if (switching) {
        errno = 0;
        passwd const* pw = ::getpwuid(parent);
        if (!pw) {
            logSev<kLogCritical>("getpwuid failed: {}", std::strerror(errno));
            return false;
        }
        // The user changes first; the secure bit above keeps the right to change groups.
        if (::setuid(pw->pw_uid) < 0 || ::setgid(pw->pw_gid) < 0) {
            logSev<kLogCritical>("setuid/gid failed: {}", std::strerror(errno));
            return false;
        }
        gid_t groups[kMaxGroups];
        int count = kMaxGroups;
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups, &count) < 0) {
            logSev<kLogCritical>("getgrouplist failed");
            return false;
        }
        if (::setgroups(static_cast<size_t>(count), groups) < 0) {
            logSev<kLogCritical>("setgroups failed: {}", std::strerror(errno));
            return false;
        }
    }
    if (parent != 0) {
        if (int const err = setCapabilities(kCapsWhileOpening)) {
            // Having switched, the core would run as the parent's user with
            // every capability it started with.
            if (switching) {
                logSev<kLogCritical>("capset failed: {}", std::strerror(err));
                return false;
            }
            logSev<kLogNotice>("capset failed: {}", std::strerror(err));
        }
    }
    return true;
}

} // namespace ox::core
