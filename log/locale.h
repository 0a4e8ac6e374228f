// The process-wide formatting locale used for digit grouping ({:L}).
#pragma once

#include <locale>

namespace ox::log {

/// "en_US.UTF-8" when installed, else the default locale. Created once, on
/// first use; any thread.
std::locale const& getLoc();

} // namespace ox::log
