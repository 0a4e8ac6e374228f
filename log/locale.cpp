#include "log/locale.h"

#include <mutex>
#include <stdexcept>

namespace ox::core {

std::locale getLoc() {
    static std::once_flag once;
    static std::locale loc;
    std::call_once(once, [] {
        try {
            loc = std::locale("en_US.UTF-8");
        } catch (std::runtime_error const&) {
            // Not installed: keep the default locale, digits print ungrouped.
        }
    });
    return loc;
}

} // namespace ox::core
