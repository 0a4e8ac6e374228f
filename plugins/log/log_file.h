// An append-only log file with size-based rotation: name, name.1, ... name.N.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace logpi {

class LogFile {
public:
    /// A relative path resolves against `dir`, a directory descriptor held by
    /// the caller: a later chdir in the process does not move the file.
    LogFile(std::string path, uint64_t maxBytes, unsigned keep, int dir = AT_FDCWD);
    LogFile(LogFile const&) = delete;
    LogFile& operator=(LogFile const&) = delete;
    ~LogFile();

    /// Appends the text; rotates first when it would pass the size limit.
    /// Returns false when the file cannot be written.
    bool write(std::string_view text);
    void flush();

private:
    bool open();
    void rotate();

    std::string path_;
    uint64_t maxBytes_;
    unsigned keep_;
    int dir_;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
};

} // namespace logpi
