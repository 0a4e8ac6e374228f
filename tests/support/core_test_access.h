// The tests' one way into a core's inner state: what a plugin cannot see but
// a test must set or read. Nothing in the product uses it.
#pragma once

#include "core/delivery_clock.h"
#include "core/dvr_core.h"

#include <vector>

class DvrCoreTestAccess {
public:
    /// The monitor's and the summary's clocks and readings; set before Run.
    static MonitorProbes& probes(DvrCore& core) { return core.monitor_.probes; }
    /// Copies of the queued records (payloads still owned by the queue).
    static std::vector<ox::core::EventParms> queued(DvrCore const& core) { return core.queue_.snapshot(); }
    /// One memory check, as the timer makes it.
    static void memCheck(DvrCore& core) { core.monitor_.check({}); }
    static bool throttling(DvrCore const& core) { return core.monitor_.throttling(); }
    static ActivityCounters& counters(DvrCore& core) { return core.counters_; }
    static IpcCounters& ipcCounters(DvrCore& core) { return core.parent_.counters(); }
    static SearchHandler& search(DvrCore& core) { return core.search_; }
    /// The status summary at the probes' steady time; true when it was logged.
    static bool statusSummary(DvrCore& core, SummaryState& state) {
        return core.statusSummary(state, core.monitor_.probes.steadyNow().time_since_epoch());
    }
    static bool statusSummary(DvrCore& core, SummaryState& state, std::chrono::steady_clock::duration now) {
        return core.statusSummary(state, now);
    }
    /// Ends the queue as the dispatcher does at the stop, dropping what waits:
    /// from here on it takes nothing, as when no payload can be allocated.
    static void closeQueue(DvrCore& core) {
        core.queue_.stop();
        DeliveryClock clock;
        ox::core::EventParms e;
        while (core.queue_.take(e, clock).what != ox::core::EventQueue::Taken::Closed) core.decRef(e.data, 0);
    }
};
