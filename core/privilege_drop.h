// Taking on the parent daemon's user and keeping only a few capabilities.
#pragma once

#include "dvrcore/process_info.h" // GetParentUid, exported

#include <cstdint>

namespace ox::core {

/// Capability sets the core keeps while plugins open, and afterwards.
inline constexpr uint32_t kCapsWhileOpening = 0x00023000u; // NET_ADMIN, NET_RAW, SYS_RAWIO
inline constexpr uint32_t kCapsRunning = 0x00003000u;      // NET_ADMIN, NET_RAW

/// Sets effective = permitted = `caps` (capabilities 0..31), inheritable none,
/// through the version-3 capability interface. Returns 0 or an errno value.
int setCapabilities(uint32_t caps);

/// Switches to the parent's user with its groups and reduces the capability
/// sets. Logs and returns false when the switch fails, or when the sets
/// cannot be reduced after a switch. `switchedUser` tells whether it switched.
bool dropPrivileges(bool* switchedUser = nullptr);

} // namespace ox::core
