// Once a minute, on the dispatcher thread: queue, dropping, parent-channel and
// search activity, memory with its change, and who holds event references.
#include "core/status_summary.h"

#include "core/dvr_core.h"
#include "core/size_text.h"
#include "core/ref_block.h"
#include "log/log.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace {

constexpr auto kSummaryPeriod = std::chrono::seconds(60);
constexpr size_t kTopHolders = 5;

/// Reads a statistic and starts it again from 0.
template <typename T>
T take(std::atomic<T>& counter) {
    return counter.exchange(0, std::memory_order_relaxed);
}

} // namespace

bool DvrCore::statusSummary(SummaryState& st, std::chrono::steady_clock::duration now) {
    if (now - st.lastSummary < kSummaryPeriod) return false;
    st.lastSummary = now;

    // The five plugin ids holding most references, largest first, ties by id.
    st.top.clear();
    st.topText.clear();
    for (uint32_t id = 0; id < 256; ++id) {
        uint32_t const count = oxmem::stats.refs[id].load();
        if (count == 0) continue;
        auto at = std::find_if(st.top.begin(), st.top.end(), [&](auto const& e) { return e.second < count; });
        st.top.insert(at, {id, count});
        if (st.top.size() > kTopHolders) st.top.resize(kTopHolders);
    }
    auto const loc = ox::log::getLoc();
    for (auto const& [id, count] : st.top) {
        std::string const name = plugins_.shortName(id);
        fmt::format_to(std::back_inserter(st.topText), loc, "{}{} {:L}", st.topText.empty() ? "" : ", ", name, count);
    }

    // Each counter is read and restarted in one exchange, printed or not.
    IpcCounters& ipc = parent_.counters();
    uint32_t const ipcRequests = take(ipc.requestsRelayed);
    uint32_t const ipcResults = take(ipc.resultsDelivered);
    std::string const ipcBytes = sizeText(take(ipc.resultBytes));
    uint32_t const searchRequests = take(counters_.searchRequests);
    uint32_t const searchCancels = take(counters_.searchCancels);
    uint32_t const searchResults = take(counters_.searchResults);
    std::string const searchBytes = sizeText(take(counters_.searchResultBytes));
    uint32_t const droppedVideo = take(counters_.throttledVideo);
    uint32_t const droppedAudio = take(counters_.throttledAudio);
    uint32_t const inUse = monitor_.inUse();
    std::string inUseText = sizeText(inUse);
    int64_t const delta = static_cast<int64_t>(inUse) - static_cast<int64_t>(st.memAtLastSummary);
    if (delta > 0) inUseText += " +" + sizeText(delta);
    if (delta < 0) inUseText += " " + sizeText(delta);
    std::string const refBytes = sizeText(oxmem::stats.bytes.load());

    if (logLevel(0u) <= kLogInfo) {
        thread_local std::string text;
        text.clear();
        fmt::format_to(std::back_inserter(text), loc,
                       "InQ:{:L} events:{:L} idle:{}s throttled[v:{:L} a:{:L}]\n"
                       "ltm:{:L}us ipc[r:{:L} p:{:L} d:{}] srch[r:{:L} c:{:L} p:{:L} d:{}]\n"
                       "memory[inuse:{}] refblks:{:L}({}) top: {}",
                       st.inQ, st.events, st.idle, droppedVideo, droppedAudio, st.logDispatchUs, ipcRequests,
                       ipcResults, ipcBytes, searchRequests, searchCancels, searchResults, searchBytes, inUseText,
                       oxmem::stats.blocks.load(), refBytes, st.topText);
        myLogMessage(kLogInfo, text);
    }

    st.events = 0;
    st.idle = 0;
    st.logDispatchUs = 0;
    st.memAtLastSummary = inUse;
    return true;
}
