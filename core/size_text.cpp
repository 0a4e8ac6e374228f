// Byte counts as the log lines print them.
#include "core/size_text.h"

#include "log/locale.h"

#include <fmt/format.h>

#include <cmath>

namespace {
constexpr int64_t kPlainBelow = 102'400;
constexpr char kUnits[] = "_KMGTPE";
} // namespace

std::string sizeText(int64_t bytes) {
    uint64_t const magnitude = bytes < 0 ? 0 - static_cast<uint64_t>(bytes) : static_cast<uint64_t>(bytes);
    if (magnitude < static_cast<uint64_t>(kPlainBelow)) return fmt::format(ox::log::getLoc(), "{:L}", bytes);
    double d = static_cast<double>(magnitude);
    size_t unit = 0;
    while (d >= 1024.0) {
        d *= 1.0 / 1024.0;
        ++unit;
    }
    double const rounded = std::ceil(d * 100.0) / 100.0;
    return fmt::format("{}{}{}{}", bytes < 0 ? "-" : "", rounded, kUnits[unit], "iB");
}
