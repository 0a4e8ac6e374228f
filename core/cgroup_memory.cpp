#include "core/cgroup_memory.h"

#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    for (size_t at = 0;;) {
        size_t const end = text.find(sep, at);
        parts.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return parts;
        at = end + 1;
    }
}

/// A small file under /proc or /sys, whole; empty when it cannot be read.
std::string readSmallFile(std::string const& path) {
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[4096];
    std::string text;
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1u << 20);)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

/// The limit files from `path` (a cgroup path) up to the root of a hierarchy
/// whose `root` is mounted at `mountPoint`.
void addFilesUpward(std::vector<std::string>& files, std::string_view path, std::string_view root,
                    std::string_view mountPoint, char const* file) {
    if (root != "/" && !(path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/')))
        return; // the cgroup lies outside what is mounted here
    std::string rel(root == "/" ? path : path.substr(root.size()));
    for (;;) {
        while (!rel.empty() && rel.back() == '/') rel.pop_back();
        files.push_back(std::string(mountPoint) + rel + "/" + file);
        if (rel.empty()) return;
        rel.erase(rel.rfind('/'));
    }
}

} // namespace

namespace ox::core {

std::vector<std::string> cgroupLimitFiles(std::string_view cgroups, std::string_view mountinfo) {
    std::string_view v2Path, v1Path;
    for (std::string_view line : split(cgroups, '\n')) {
        auto const f = split(line, ':');
        if (f.size() < 3) continue;
        std::string_view const path = line.substr(f[0].size() + f[1].size() + 2); // paths may hold ':'
        if (f[0] == "0" && f[1].empty()) v2Path = path;
        for (std::string_view c : split(f[1], ','))
            if (c == "memory") v1Path = path;
    }
    std::vector<std::string> files;
    for (std::string_view line : split(mountinfo, '\n')) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        auto const f = split(line, ' ');
        size_t dash = 0;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (f.size() < 5 || dash + 1 >= f.size()) continue;
        std::string_view const type = f[dash + 1];
        if (type == "cgroup2" && !v2Path.empty()) {
            addFilesUpward(files, v2Path, f[3], f[4], "memory.max");
        } else if (type == "cgroup" && !v1Path.empty() && dash + 3 < f.size()) {
            for (std::string_view o : split(f[dash + 3], ','))
                if (o == "memory") addFilesUpward(files, v1Path, f[3], f[4], "memory.limit_in_bytes");
        }
    }
    return files;
}

uint64_t parseCgroupLimit(std::string_view text) {
    uint64_t value = 0;
    auto const [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) return 0; // "max", or nothing usable
    return value;
}

} // namespace ox::core

uint64_t cgroupMemoryLimit() {
    auto const files = ox::core::cgroupLimitFiles(readSmallFile("/proc/self/cgroup"), readSmallFile("/proc/self/mountinfo"));
    uint64_t lowest = 0;
    for (auto const& file : files) {
        uint64_t const limit = ox::core::parseCgroupLimit(readSmallFile(file));
        if (limit != 0 && (lowest == 0 || limit < lowest)) lowest = limit;
    }
    return lowest;
}
