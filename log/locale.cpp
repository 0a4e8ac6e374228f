#include "log/locale.h"

#include <stdexcept>

namespace ox::log {

std::locale const& getLoc() {
    static std::locale const loc = [] {
        try {
            return std::locale("en_US.UTF-8");
        } catch (std::runtime_error const&) {
            return std::locale(); // not installed: digits print ungrouped
        }
    }();
    return loc;
}

} // namespace ox::log
