// The rule that decides whether a plugin is offered an event: a pure function
// of the event and the plugin's declaration.
#pragma once

#include "dvrcore/plugin_interface.h"

/// True when a plugin that declared `info` consumes `event`.
bool consumerMatch(PluginInfo const& info, ox::core::EventParms const& event) noexcept;
