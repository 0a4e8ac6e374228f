// Refusals at the door while memory is short: live audio and video are
// dropped, and other records are refused once too much payload waits in the
// queue or stays alive, so that no plugin can take the appliance down.
#include "core/dvr_core.h"
#include "dvrcore/plugin_interface.h"
#include "core/ref_block.h"
#include "core/size_text.h"
#include "log/log.h"

namespace {
/// Queued payload of one poster past which its records are refused while
/// throttled: thousands of alarms, log records or configuration documents,
/// far more than ever waits for a dispatcher that keeps up, yet small beside
/// the 190 MiB limit of the smallest appliances.
constexpr size_t kPosterQueueCeiling = 8u << 20;
/// All live payload (queued, and kept by consumers) past which every plugin's
/// records are refused, throttled or not: it stops a consumer that keeps what it
/// gets from growing without end, and leaves half of the smallest limit to the
/// rest of the process.
constexpr uint32_t kLivePayloadCeiling = 96u << 20;
} // namespace

int DvrCore::dropAudioVideoIf(ox::core::EventParms const& rec) {
    if ((rec.flags & ox::core::kLiveClass) == 0) return 0;
    // The whole type field: a modified type (0x4001, 0x4002) is never dropped.
    if (rec.type != OX_TYPE_VIDEO && rec.type != OX_TYPE_AUDIO) return 0;
    if (!monitor_.throttling()) return 0;
    auto& dropped = rec.type == OX_TYPE_VIDEO ? counters_.throttledVideo : counters_.throttledAudio;
    dropped.fetch_add(1, std::memory_order_relaxed);
    return OX_POST_DROPPED;
}

int DvrCore::refuseOverCeiling(ox::core::EventParms const& rec) {
    // Search results are paced one per search thread. (The core's own records
    // never come here: its log writer, alarm and configuration bypass this.)
    if (rec.requestId != 0) return 0;
    uint32_t const live = oxmem::stats.bytes.load(std::memory_order_relaxed);
    // The live ceiling holds at once, throttled or not: a fast producer
    // fills memory long before the once-a-second reading notices.
    bool const overLive = live > kLivePayloadCeiling;
    // A stale reading only moves the change of behaviour by one record.
    if (!overLive && !monitor_.throttling()) return 0;
    // Plain live media is dropped above while throttled; stored media only
    // comes as paced results. Modified media and media without a class are
    // never dropped, but they are capped like the rest: a consumer that keeps
    // them would otherwise grow without end.
    if (!overLive && (rec.flags & ox::core::kLiveClass) && (rec.type == OX_TYPE_VIDEO || rec.type == OX_TYPE_AUDIO))
        return 0;
    unsigned const id = ox::core::pluginIdOf(rec.source);
    size_t const queued = queue_.queuedBytes(id);
    if (!overLive && queued <= kPosterQueueCeiling) return 0;
    if (monitor_.firstRefusalOfEpisode())
        logSev<kLogNotice>("memory is short: events of plugin {:02x} refused with {} of its payloads queued and {} "
                           "of payloads alive",
                           id, sizeText(static_cast<int64_t>(queued)), sizeText(live));
    return 1;
}
