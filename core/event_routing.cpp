// The posting callback and the routing of a posted record: answered at once,
// handed to a service of the core, or copied into the queue.
#include "core/dvr_core.h"
#include "core/post_gate.h"
#include "core/ref_block.h"
#include "crypto/crypto_event.h"
#include "plugin/plugin.h"
#include "log/log.h"

#include <cstring>
#include <exception>

using ox::core::EventParms;

namespace {
/// The largest payload a post may carry. Media frames, the largest payloads,
/// stay below a few MiB even for high-resolution key frames; a length beyond
/// this is a plugin's fault (an uninitialised or corrupt length) and copying it
/// would exhaust the appliance's memory or read past the poster's buffer.
constexpr uint32_t kMaxPostPayload = 16u << 20;
} // namespace

int DvrCore::eventReceiver(EventParms* rec, void* /*context*/) {
    if (!rec) return 1;
    if (!rec->data) rec->dataLen = 0;
    // Counted while inside, so that main never destroys the core under a post.
    auto& gate = ox::core::postGate();
    if (!gate.enter()) return 1;
    int result = 1;
    if (DvrCore* core = GetCore()) {
        // Nothing the core throws may unwind into plugin code.
        try {
            result = core->pluginEvent(*rec);
        } catch (...) {
            result = 1;
        }
    }
    gate.leave();
    return result;
}

int DvrCore::pluginEvent(EventParms& rec) {
    uint32_t const type = ox::core::typeOf(rec);
    // Before anything reads the payload: a length far beyond the buffer would
    // be read (log text) or copied (the queue) off its end. Decref and cancel
    // carry no payload; crypto checks its own lengths and works in place.
    if (rec.dataLen > kMaxPostPayload && type != OX_TYPE_DECREF && type != OX_TYPE_CANCEL && type != OX_TYPE_CRYPTO) {
        unsigned const id = ox::core::pluginIdOf(rec.source);
        if (!oversizeReported_[id].exchange(true))
            logSev<kLogNotice>("plugin {:02x} posted a {} event of {:L} bytes, more than the {:L} a post may carry: "
                               "refused",
                               id, ox::core::typeName(type), rec.dataLen, kMaxPostPayload);
        return 1;
    }
    switch (type) {
    case OX_TYPE_IPC:
        return ipcRequest(rec);
    case OX_TYPE_CANCEL:
        if (rec.flags & ox::core::kQueryFlag) return search_.isCancelled(rec.requestId) ? 1 : 0;
        search_.Cancel(rec.requestId);
        counters_.searchCancels.fetch_add(1, std::memory_order_relaxed);
        return 0;
    case OX_TYPE_CRYPTO:
        return handleCrypto(rec);
    case OX_TYPE_LOG:
        if (rec.flags & ox::core::kQueryFlag) return logLevel(rec);
        if (print(rec) == 0) return stopRequested_.load() ? 1 : 0;
        break;
    case OX_TYPE_DECREF:
        return releaseKept(rec.data, ox::core::pluginIdOf(rec.source));
    default:
        break;
    }
    if (stopRequested_.load()) return 1; // early refusal; the queue decides under its lock
    if (searchRequest(rec) != 0) return 0;
    if (int const r = dropAudioVideoIf(rec)) return r;
    if (refuseOverCeiling(rec)) return 1;
    return queueEvent(rec);
}

int DvrCore::handleCrypto(EventParms& rec) const { return ox::crypto::handleCryptoEvent(rec, machineId_); }

void DvrCore::handToLogPlugin(Plugin const& logPlugin, ox::core::EventParms const& e) const {
    // Delivered like a queued record: a reference block of the core's, which
    // the plugin may keep and give back later with a decref.
    auto& core = const_cast<DvrCore&>(*this); // references are no state of the printer
    char* const block = oxmem::allocRefBlock(e.dataLen);
    if (!block) return;
    std::memcpy(block, e.data, e.dataLen);
    ox::core::EventParms copy = e;
    copy.data = block;
    unsigned const id = logPlugin.pluginId();
    core.holdFor(block, id);
    int kept = 0;
    try {
        kept = logPlugin.OnEventFromAnyThread(copy);
    } catch (...) {
        core.releaseFor(block, id);
        throw;
    }
    if (kept == 0) core.releaseFor(block, id);
}
