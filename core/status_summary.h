// The once-a-minute activity summary and the byte-count text it and the
// memory monitor print.
#pragma once

#include <cstdint>
#include <string>

/// Below 102,400 the digit-grouped count ("12,345"); above, at most two
/// decimals rounded up with a binary unit ("190MiB", "1.47MiB", "-2MiB").
std::string sizeText(int64_t bytes);
