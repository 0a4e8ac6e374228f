// The core's exports that the checker defines itself; the configuration
// store, XML toolkit and crypto exports come from the core's own object
// libraries.
#include "tools/check/exports.h"

#include "dvrcore/core_api.h"

#include <unistd.h>

namespace oxmem {
Stats stats{};
} // namespace oxmem

namespace {
// Plugins only ever hold the core by pointer and call Stop on it; it has no
// state of its own to point at.
alignas(8) unsigned char g_core[8];
} // namespace

DvrCore* GetCore() { return reinterpret_cast<DvrCore*>(g_core); }

void DvrCore::Stop() { check::onStopRequest(); }

/// The core asks /proc for its parent's uid; the checker's parent is the user's shell.
unsigned GetParentUid() { return ::getuid(); }
