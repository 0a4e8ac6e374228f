// Identifiers from the kernel's random source. Failure to read it is fatal:
// every caller needs unpredictable bytes and has no sound fallback.
#include "dvrcore/guid.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr char kRandomDevice[] = "/dev/urandom";
}

int CoCreateGuid(_GUID* guid) {
    int fd;
    do {
        fd = ::open(kRandomDevice, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) err(OX_GUID_EXIT_STATUS, "CoCreateGuid(): open: %s", kRandomDevice);

    unsigned char bytes[sizeof(_GUID)];
    ssize_t const want = sizeof bytes;
    ssize_t got = 0;
    while (got < want) {
        ssize_t const n = ::read(fd, bytes + got, static_cast<size_t>(want - got));
        if (n < 0) {
            if (errno == EINTR) continue;
            err(OX_GUID_EXIT_STATUS, "CoCreateGuid(): read: %s", kRandomDevice);
        }
        if (n == 0)
            errx(OX_GUID_EXIT_STATUS, "CoCreateGuid(): read: %s: EOF, got %zd of %zd bytes requested", kRandomDevice,
                 got, want);
        got += n;
    }
    if (::close(fd) != 0) warn("CoCreateGuid(): close: %s", kRandomDevice);
    std::memcpy(guid, bytes, sizeof bytes);
    return 0;
}

void GenerateIV16(char* iv) {
    _GUID g;
    CoCreateGuid(&g);
    std::memcpy(iv, &g, sizeof g);
}

int GuidToText(_GUID const& guid, char* text, unsigned size) {
    if (size < OX_GUID_TEXT_SIZE) return 0;
    std::snprintf(text, OX_GUID_TEXT_SIZE, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(guid.Data1), unsigned{guid.Data2}, unsigned{guid.Data3},
                  unsigned{guid.Data4[0]}, unsigned{guid.Data4[1]}, unsigned{guid.Data4[2]}, unsigned{guid.Data4[3]},
                  unsigned{guid.Data4[4]}, unsigned{guid.Data4[5]}, unsigned{guid.Data4[6]}, unsigned{guid.Data4[7]});
    return 1;
}
