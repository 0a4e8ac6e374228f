// The payload limit of a post, one rule for the core that enforces it and the
// plugin checker that reports a plugin breaking it.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstdint>

namespace ox::core {

/// The largest payload a post may carry. Media frames, the largest payloads,
/// stay below a few MiB even for high-resolution key frames; a length beyond
/// this is a plugin's fault (an uninitialised or corrupt length) and copying it
/// would exhaust the appliance's memory or read past the poster's buffer.
inline constexpr uint32_t kMaxPostPayload = 16u << 20;

/// Whether a post is refused for its length. Decref and cancel carry no
/// payload; crypto checks its own lengths and works in place.
constexpr bool overPostLimit(EventParms const& e) noexcept {
    uint32_t const type = typeOf(e);
    return e.dataLen > kMaxPostPayload && type != OX_TYPE_DECREF && type != OX_TYPE_CANCEL && type != OX_TYPE_CRYPTO;
}

} // namespace ox::core
