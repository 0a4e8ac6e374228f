// Standard output of the test process, captured while an object lives.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

namespace testing_support {

/// Captures what is written to standard output while it lives.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = ::dup(1);
        file_ = std::tmpfile();
        ::dup2(fileno(file_), 1);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        std::string s;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
        return s;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    std::FILE* file_ = nullptr;
};

} // namespace testing_support
