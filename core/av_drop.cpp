// Live audio and video are refused at the door while memory is short; every
// other record, stored media included, still flows.
#include "core/dvr_core.h"

namespace {
/// Returned to the poster for a record dropped under throttling.
constexpr int kDroppedThrottled = 5;
} // namespace

int DvrCore::dropAudioVideoIf(ox::core::EventParms const& rec) {
    if ((rec.flags & ox::core::kLiveClass) == 0) return 0;
    // The whole type field: a modified type (0x4001, 0x4002) is never dropped.
    if (rec.type != OX_TYPE_VIDEO && rec.type != OX_TYPE_AUDIO) return 0;
    if (!throttling_.load()) return 0;
    auto& dropped = rec.type == OX_TYPE_VIDEO ? counters_.throttledVideo : counters_.throttledAudio;
    dropped.fetch_add(1, std::memory_order_relaxed);
    return kDroppedThrottled;
}
