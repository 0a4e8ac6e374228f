#include "core/delivery_clock.h"

#include <fstream>
#include <string>

namespace {

// A pairing is kept only when the counter was read within this much of the
// steady reading; a thread preempted in between gives no pairing.
constexpr auto kPairWithin = std::chrono::microseconds(2);

bool kernelKeepsTimeWithTsc() {
#ifdef OX_HAVE_TSC
    std::ifstream in("/sys/devices/system/clocksource/clocksource0/current_clocksource");
    std::string source;
    return static_cast<bool>(in >> source) && source == "tsc";
#else
    return false;
#endif
}

} // namespace

DeliveryClock::DeliveryClock() noexcept : counterKeepsTime_(kernelKeepsTimeWithTsc()) { steadyNow(); }

DeliveryClock::Steady::time_point DeliveryClock::steadyNow() noexcept {
    Steady::time_point const before = Steady::now();
    if (!counterKeepsTime_) return before;
    uint64_t const ticks = counter();
    Steady::time_point const after = Steady::now();
    if (after - before > kPairWithin) return after;
    Steady::time_point const at = before + (after - before) / 2;
    if (originSteady_ == Steady::time_point{}) {
        originTicks_ = ticks;
        originSteady_ = at;
    }
    if (at - originSteady_ >= kLearnOver && ticks > originTicks_) {
        nsPerTick_ = static_cast<double>(std::chrono::nanoseconds(at - originSteady_).count()) /
                     static_cast<double>(ticks - originTicks_);
        anchorTicks_ = ticks;
        anchorSteady_ = at;
    }
    return after;
}
