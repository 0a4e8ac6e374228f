// Where the loader's own messages go ("waiting for 1 call(s) into X.so to
// return"): standard error, so that standard output holds only the verdict.
#include "log/log.h"

#include <cstdio>

namespace ox::log {

int32_t coreThreshold() noexcept { return kDefaultLogThreshold; }

void coreMessage(LogLevel /*level*/, std::string_view text) {
    std::fprintf(stderr, "dvrcore-check: %.*s\n", static_cast<int>(text.size()), text.data());
}

} // namespace ox::log
