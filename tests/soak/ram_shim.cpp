// soak-ram.so, preloaded into the core by scripts/soak: sysinfo() reports
// SOAK_RAM_MIB MiB of installed memory, so the core's memory monitor sets the
// throttling limit of an appliance rather than of the build machine.
#include <dlfcn.h>
#include <cstdlib>
#include <sys/sysinfo.h>

extern "C" __attribute__((visibility("default"))) int sysinfo(struct sysinfo* info) {
    using Fn = int (*)(struct sysinfo*);
    static Fn const real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "sysinfo"));
    int const r = real ? real(info) : -1;
    char const* mib = std::getenv("SOAK_RAM_MIB");
    if (r == 0 && mib && info->mem_unit != 0)
        info->totalram = static_cast<unsigned long>(std::strtoul(mib, nullptr, 10) * 1048576ull / info->mem_unit);
    return r;
}
