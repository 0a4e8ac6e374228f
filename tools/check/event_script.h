// The events an author scripts for dvrcore-check --events FILE, delivered in
// order instead of the checker's own three of every consumed type. One event
// a line, blank lines and lines starting with '#' ignored:
//
//   TYPE SOURCE [class=live|stored] [key=1] [level=N] [request=ID] [flags=N] [PAYLOAD]
//
// TYPE is a catalogue name (video, alarm, config, ...); SOURCE the poster's
// address word (0x00410001: plugin 41, camera 1). PAYLOAD is "text:" and the
// rest of the line verbatim, or "file:" and a path relative to the script's
// folder; none means no payload. Text and XML types get their payload flag.
#pragma once

#include "dvrcore/event_parms.h"

#include <filesystem>
#include <string>
#include <vector>

namespace check {

struct ScriptedEvent {
    ox::core::EventParms record{}; ///< data is set at delivery
    std::string payload;
    bool hasPayload = false;
};

/// Reads the script; on a bad line returns false with `error` naming the
/// file, the line and what is wrong.
bool readEventScript(std::filesystem::path const& file, std::vector<ScriptedEvent>& out, std::string& error);

} // namespace check
