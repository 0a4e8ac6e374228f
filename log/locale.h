// The process-wide formatting locale used for digit grouping ({:L}).
#pragma once

#include <locale>

namespace ox::core {

/// "en_US.UTF-8" when installed, else the default locale. Created once, on
/// first use; later calls return a copy.
std::locale getLoc();

} // namespace ox::core
