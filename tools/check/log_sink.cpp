// Where the loader's own messages go ("waiting for 1 call(s) into X.so to
// return"): standard error, so that standard output holds only the verdict.
#include "tools/check/check_host.h"
#include "log/log.h"

#include <cstdio>

namespace check {
namespace {
ox::log::Sink const kStderr{nullptr, [](void*) noexcept { return int32_t{kDefaultLogThreshold}; },
                            [](void*, LogLevel, std::string_view text) {
                                std::fprintf(stderr, "dvrcore-check: %.*s\n", static_cast<int>(text.size()), text.data());
                            }};
} // namespace

void installLogSink() noexcept { ox::log::setSink(&kStderr); }

} // namespace check
