// The event path's safety steps, each of which a benchmark-only build
// (-DDVR_SAFETY_SWITCHES=ON, never shipped) can switch off at run time to
// measure what it costs. In every other build they are constants, always on,
// and the checks compile away.
#pragma once

namespace ox::core {

struct SafetySwitches {
    bool registry = true;    ///< live-block registry: a decref's pointer is looked up before it is touched
    bool postGate = true;    ///< posts in flight are counted, so the core is never destroyed under one
    bool holderMarks = true; ///< a delivery marks its plugin, so a stale decref cannot take another's reference
};

#if defined(DVR_SAFETY_SWITCHES)
/// Set before the core starts; never changed while records flow.
inline SafetySwitches safety;
#else
inline constexpr SafetySwitches safety{};
#endif

} // namespace ox::core
