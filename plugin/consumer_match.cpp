// Which plugin is offered which event.
#include "plugin/consumer_match.h"
#include "plugin/plugin.h"

namespace {

/// Address key: the core's word itself, else the plugin id byte in place.
constexpr uint32_t key(uint32_t word) noexcept {
    return word == ox::core::kCoreAddress ? word : word & OX_PLUGIN_ID_MASK;
}

constexpr bool consumes(uint32_t typeWord) noexcept { return (typeWord & OX_CONSUMES) != 0; }

} // namespace

bool consumerMatch(PluginInfo const& info, ox::core::EventParms const& e) noexcept {
    uint32_t const p = key(info.address);
    // Stored events (search results) go only to the plugin that asked.
    if (e.flags & ox::core::kStoredClass) return p == key(e.requestId);

    bool const own = p == key(e.source);
    bool const plain = (e.type & ox::core::kTypeModifier) == 0;
    bool const output = (e.mediaFlags & OX_OUTPUT_BIT) != 0;
    // Config and analytic records with a nonzero `level` come back to their poster too.
    bool const backToPoster = e.level != 0;

    switch (ox::core::typeOf(e)) {
    case OX_TYPE_VIDEO:
        if (plain) return own ? output : consumes(info.video);
        return p != 0 && consumes(info.video);
    case OX_TYPE_AUDIO:
        if (plain) return own ? output : consumes(info.audio);
        return p != 0 && consumes(info.audio);
    case OX_TYPE_ALARM: return consumes(info.alarm);
    case OX_TYPE_PTZ: return consumes(info.ptz);
    case OX_TYPE_SERIAL: return consumes(info.serial);
    case OX_TYPE_WATCHDOG: return own;
    case OX_TYPE_LOG: return !own && consumes(info.log);
    case OX_TYPE_CONFIG: return own ? backToPoster : true;
    case OX_TYPE_POS: return consumes(info.pos);
    case OX_TYPE_ANALYTIC: return own ? backToPoster : consumes(info.analytic);
    default: return false;
    }
}

bool Plugin::consumerMatch(ox::core::EventParms const& e) const { return ::consumerMatch(info_, e); }
