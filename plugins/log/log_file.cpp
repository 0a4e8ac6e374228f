#include "log_file.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace logpi {

LogFile::LogFile(std::string path, uint64_t maxBytes, unsigned keep)
    : path_(std::move(path)), maxBytes_(maxBytes), keep_(keep) {}

LogFile::~LogFile() {
    if (file_) std::fclose(file_);
}

bool LogFile::open() {
    if (file_) return true;
    auto const slash = path_.rfind('/');
    if (slash != std::string::npos) ::mkdir(path_.substr(0, slash).c_str(), 0755);
    file_ = std::fopen(path_.c_str(), "a");
    if (!file_) return false;
    struct stat st {};
    size_ = ::fstat(fileno(file_), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

void LogFile::rotate() {
    std::fclose(file_);
    file_ = nullptr;
    // name.(N-1) -> name.N, ..., name -> name.1; the oldest is overwritten.
    for (unsigned i = keep_; i > 0; --i) {
        std::string const from = i == 1 ? path_ : path_ + "." + std::to_string(i - 1);
        std::rename(from.c_str(), (path_ + "." + std::to_string(i)).c_str());
    }
    if (keep_ == 0) std::remove(path_.c_str());
}

bool LogFile::write(std::string_view text) {
    if (!open()) return false;
    if (size_ > 0 && size_ + text.size() > maxBytes_) {
        rotate();
        if (!open()) return false;
    }
    size_t const n = std::fwrite(text.data(), 1, text.size(), file_);
    size_ += n;
    return n == text.size();
}

void LogFile::flush() {
    if (file_) std::fflush(file_);
}

} // namespace logpi
