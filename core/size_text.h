// Byte counts as the log lines print them: the status summary, the memory
// monitor, the ceilings and the parent channel's backlog.
#pragma once

#include <cstdint>
#include <string>

/// Below 102,400 the digit-grouped count ("12,345"); above, at most two
/// decimals rounded up with a binary unit ("190MiB", "1.47MiB", "-2MiB").
std::string sizeText(int64_t bytes);
