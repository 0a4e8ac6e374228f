// The memory limit of the core's memory cgroup, which a container or a
// service manager may set far below the machine's RAM.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// The lowest memory limit along the process's memory cgroup path (v2
/// "memory.max", v1 "memory.limit_in_bytes"), in bytes; 0 when there is none
/// or it cannot be read.
uint64_t cgroupMemoryLimit();

namespace ox::core {

/// The limit files that bound the process, from its cgroup up to each
/// hierarchy's root, given the texts of /proc/self/cgroup and /proc/self/mountinfo.
std::vector<std::string> cgroupLimitFiles(std::string_view cgroups, std::string_view mountinfo);

/// A limit file's value in bytes; 0 for "max", no number or 0.
uint64_t parseCgroupLimit(std::string_view text);

} // namespace ox::core
