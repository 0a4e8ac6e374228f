// Log messages of the core become log events on the ordinary event path.
#include "core/dvr_core.h"
#include "log/log.h"

namespace ox::log {

int32_t coreThreshold() noexcept {
    DvrCore const* core = GetCore();
    return core ? core->logLevel(0u) : kDefaultLogThreshold;
}

void coreMessage(LogLevel level, std::string_view text) {
    if (DvrCore* core = GetCore()) core->myLogMessage(level, text);
}

} // namespace ox::log

int DvrCore::myLogMessage(LogLevel level, std::string_view text) {
    if (text.empty()) return 0;
    ox::core::EventParms e{};
    e.size = ox::core::kRecordSize;
    e.version = OX_EVENT_RECORD_VERSION;
    e.dataLen = static_cast<uint32_t>(text.size());
    e.data = const_cast<char*>(text.data()); // copied by the event path before we return
    e.source = ox::core::kCoreAddress;
    e.type = OX_TYPE_LOG;
    e.flags = ox::core::kLiveClass | ox::core::kTextPayload;
    e.parmsSize = ox::core::kParmsSize;
    e.parmsVersion = OX_EVENT_PARMS_VERSION;
    e.level = level;
    return pluginEvent(e);
}

int DvrCore::logLevel(unsigned pluginId) const {
    int32_t const configured = logLevels_[pluginId & 0xFF].load(std::memory_order_relaxed);
    return configured >= 0 ? configured : kDefaultLogThreshold;
}

int DvrCore::logLevel(ox::core::EventParms const& e) const {
    return logLevel(ox::core::pluginIdOf(e.source));
}
