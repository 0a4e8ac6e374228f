// Facts about event records that only the core needs: how its documents name
// an address word, and which posts are search requests and results.
#pragma once

#include "dvrcore/event_parms.h"

#include <cstdint>
#include <string>

namespace ox::core {

/// The core's address word as the "ID" attribute of its documents prints it (signed).
inline constexpr char const* kCoreIdText = "-2147483648";

/// The "ID" text of an address word: the core's, or the plugin id bits as a signed number.
inline std::string idText(uint32_t address) {
    if (address == kCoreAddress) return kCoreIdText;
    return std::to_string(static_cast<int32_t>(address & OX_PLUGIN_ID_MASK));
}

/// Clients that start searches post from an address with plugin id 0 other than the core's.
constexpr bool fromSearchClient(uint32_t source) noexcept { return source != kCoreAddress && pluginIdOf(source) == 0; }
/// A search request: a request id from a search client.
constexpr bool isSearchRequest(EventParms const& e) noexcept { return e.requestId != 0 && fromSearchClient(e.source); }
/// A search result: a request id from a plugin (or the core).
constexpr bool isSearchResult(EventParms const& e) noexcept { return e.requestId != 0 && !fromSearchClient(e.source); }

} // namespace ox::core
