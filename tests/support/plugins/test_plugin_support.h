// What the test plugins share: their trace lines, read by the tests through
// ApplianceTree::probeTrace(), and the event records they post.
#pragma once

#include "dvrcore/plugin_interface.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace test_plugin {

/// Appends "<plugin> <line>" to probe-trace.txt in the working directory.
inline void trace(char const* plugin, std::string const& line) {
    std::string text = std::string(plugin) + " " + line + "\n";
    int fd = ::open("probe-trace.txt", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = ::write(fd, text.data(), text.size()); // one write: lines of threads never mix
    (void)n;
    ::close(fd);
}

/// A record from `source` with its head and sizes filled and all else zero.
inline ox::core::EventParms record(uint32_t source, uint32_t type, uint32_t flags, char* data, uint32_t len) {
    ox::core::EventParms e;
    std::memset(&e, 0, sizeof e);
    e.size = sizeof e;
    e.version = 1;
    e.parmsSize = sizeof e - offsetof(ox::core::EventParms, parmsSize);
    e.parmsVersion = 1;
    e.source = source;
    e.type = type;
    e.flags = flags;
    e.data = data;
    e.dataLen = len;
    return e;
}

/// The bytes as lowercase hexadecimal digits.
inline std::string hex(void const* bytes, size_t n) {
    static char const digits[] = "0123456789abcdef";
    auto const* p = static_cast<unsigned char const*>(bytes);
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0xF];
    }
    return s;
}

} // namespace test_plugin
