// The posting callback and the routing of a posted record: answered at once,
// handed to a service of the core, or copied into the queue.
#include "core/dvr_core.h"
#include "core/events/post_limit.h"
#include "core/events/record.h"
#include "core/live_blocks.h"
#include "core/post_gate.h"
#include "core/ref_block.h"
#include "crypto/crypto_event.h"
#include "plugin/plugin.h"
#include "log/log.h"

#include <cstring>
#include <exception>
#include <system_error>

using ox::core::EventParms;

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

int DvrCore::pluginEvent(EventParms& rec) { return routeEvent(rec, PostedBy::Plugin); }

int DvrCore::routeEvent(EventParms& rec, PostedBy by) {
    uint32_t const type = ox::core::typeOf(rec);
    // Before anything reads the payload: a length far beyond the buffer would
    // be read (log text) or copied (the queue) off its end.
    if (ox::core::overPostLimit(rec)) {
        unsigned const id = ox::core::pluginIdOf(rec.source);
        if (reports_.first(ox::core::PluginReports::Kind::OversizedPost, id))
            logSev<kLogNotice>("plugin {:02x} posted a {} event of {:L} bytes, more than the {:L} a post may carry: "
                               "refused",
                               id, ox::core::typeName(type), rec.dataLen, ox::core::kMaxPostPayload);
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
        if (print(rec) == 0) return shutdown_.stopRequested(std::memory_order_relaxed) ? 1 : 0;
        break;
    case OX_TYPE_DECREF:
        return releaseKept(rec.data, ox::core::pluginIdOf(rec.source));
    default:
        break;
    }
    // Early refusal, so relaxed: the queue decides under its lock.
    if (shutdown_.stopRequested(std::memory_order_relaxed)) return 1;
    if (searchRequest(rec) != 0) return 0;
    if (int const r = dropAudioVideoIf(rec)) return r;
    // The core's own log lines pass by the path they take: a plugin may post
    // with the core's address word, and must not slip past the ceilings.
    if (by == PostedBy::Plugin && refuseOverCeiling(rec)) return 1;
    return queueEvent(rec);
}

int DvrCore::searchRequest(ox::core::EventParms const& event) {
    if (!ox::core::isSearchRequest(event)) return 0;
    if (event.dataLen == 0) return 1; // taken, nothing to search for
    search_.reuse(event.requestId);
    if (search_.onSearchThread()) return 1; // a search thread cannot start a search

    // Counted while it walks the plugins, so shutdown never closes one under it.
    SearchHandler::Admission admitted(search_);
    if (!admitted) return 1;
    std::shared_ptr<AsyncEvent const> request;
    try {
        request = std::make_shared<AsyncEvent const>(event);
    } catch (std::bad_alloc const&) {
        // No provider may see a payload length without its payload: dropped.
        logSev<kLogWarning>("search {:08x} dropped: no memory for its copy", event.requestId);
        return 1;
    }
    // A copy of the list: no plugin's entry lock is taken under the list lock.
    for (auto const& p : plugins_.snapshot())
        if (p->isSearchProvider()) search_.launch(request, p);
    counters_.searchRequests.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

int DvrCore::handleCrypto(EventParms& rec) const { return ox::crypto::handleCryptoEvent(rec, identity_.machineId); }

void DvrCore::handToLogPlugin(Plugin const& logPlugin, ox::core::EventParms const& e) const {
    // Delivered like a queued record: a reference block of the core's, which
    // the plugin may keep and give back later with a decref.
    char* const block = oxmem::allocRefBlock(e.dataLen);
    if (!block) return;
    std::memcpy(block, e.data, e.dataLen);
    ox::core::EventParms copy = e;
    copy.data = block;
    unsigned const id = logPlugin.pluginId();
    oxmem::holdFor(block, id);
    int kept = 0;
    try {
        kept = logPlugin.OnEventFromAnyThread(copy);
    } catch (...) {
        oxmem::releaseFor(block, id);
        throw;
    }
    if (kept == OX_EVENT_DONE) oxmem::releaseFor(block, id);
}

int DvrCore::queueEvent(EventParms& rec) {
    oxmem::RefBlockGuard block(rec.dataLen != 0 ? oxmem::allocRefBlock(rec.dataLen) : nullptr);
    if (rec.dataLen != 0) {
        // Refuse rather than deliver a record whose payload silently vanished.
        if (!block.get()) return 1;
        std::memcpy(block.get(), rec.data, rec.dataLen);
    }

    // Search results: refused once cancelled or from a thread that is no search
    // thread; otherwise wait until this thread's previous payload is released.
    if (ox::core::isSearchResult(rec)) {
        if (search_.admitResult(rec.requestId, block.get()) != 0) return 1;
        counters_.searchResults.fetch_add(1, std::memory_order_relaxed);
        counters_.searchResultBytes.fetch_add(rec.dataLen, std::memory_order_relaxed);
    }

    // The queue's own reference; the record is copied straight into the queue.
    EventParms queued = rec;
    queued.data = block.release();
    if (!queued.data) queued.dataLen = 0;
    incRef(queued.data, 0);
    bool accepted = false;
    try {
        accepted = queue_.push(queued);
    } catch (...) {
        decRef(queued.data, 0); // frees the copy and wakes a search thread paced on it
        throw;
    }
    if (!accepted) decRef(queued.data, 0);
    return accepted ? 0 : 1;
}

int DvrCore::releaseKept(char const* payload, unsigned pluginId) {
    if (!payload) return 0;
    pluginId &= 0xFF;
    if (!oxmem::takeHolderMark(payload, pluginId)) {
        // A second release, a pointer never handed out, or one into a payload:
        // refused before anything is touched, and reported once per plugin.
        if (reports_.first(ox::core::PluginReports::Kind::BadRelease, pluginId))
            logSev<kLogNotice>("Plugin {:02x}:{} released a payload reference it does not hold; refused", pluginId,
                               pluginName(pluginId));
        return 1;
    }
    oxmem::release(payload, pluginId);
    return 0;
}

bool DvrCore::ipcResult(std::string_view packet, uint32_t routing) {
    std::shared_ptr<Plugin> const target = plugins_.find(ox_ipcPluginIdOf(routing));
    if (!target) return false; // nobody asked
    target->OnIpcResult(packet);
    return true;
}

int DvrCore::print(EventParms const& e) const {
    if (!(e.flags & ox::core::kLiveClass)) return 1; // stored log records pass unfiltered
    if (e.dataLen == 0) return 0;
    int const severity = e.type == OX_TYPE_LOG ? e.level : 0;
    if (severity < logLevel(e)) return 0;
    if (e.flags & ox::core::kTextPayload) {
        try {
            print(ox::core::pluginIdOf(e.source), static_cast<unsigned>(severity), std::string_view(e.data, e.dataLen));
        } catch (std::system_error const&) {
            // The console is gone; the record still reaches the log plugin.
        }
    }
    if (stopRequested()) {
        // While stopping nothing is queued: the log plugin gets the record directly.
        std::shared_ptr<Plugin> const logPlugin = plugins_.logPlugin();
        if (logPlugin && logPlugin->consumerMatch(e)) handToLogPlugin(*logPlugin, e);
    }
    return 1;
}

int DvrCore::myLogMessage(LogLevel level, std::string_view text) {
    if (text.empty()) return 0;
    // The text is copied by the event path before this returns.
    EventParms e = ox::core::makeEvent(ox::core::kCoreAddress, OX_TYPE_LOG,
                                       ox::core::kLiveClass | ox::core::kTextPayload, const_cast<char*>(text.data()),
                                       static_cast<uint32_t>(text.size()));
    e.level = level;
    return routeEvent(e, PostedBy::Core);
}

int DvrCore::logLevel(unsigned pluginId) const { return logLevels_.threshold(pluginId); }

int DvrCore::logLevel(EventParms const& e) const { return logLevel(ox::core::pluginIdOf(e.source)); }
