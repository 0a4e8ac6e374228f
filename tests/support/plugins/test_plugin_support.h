// What the test plugins share: their trace lines, read by the tests through
// ApplianceTree::probeTrace(), and the event records they post (../records.h).
#pragma once

#include "../records.h"
#include "dvrcore/plugin_interface.h"

#include <cstddef>
#include <cstdint>
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
