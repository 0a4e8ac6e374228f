// One variant of the probe test plugin, chosen at compile time: its settings
// and the entry points it exports (the others it lacks on purpose).
#include "probe_plugin.h"

#ifndef PROBE_NAME
#define PROBE_NAME "probe"
#endif
#ifndef PROBE_ADDRESS
#define PROBE_ADDRESS 0x00100000u
#endif
#ifndef PROBE_CONSUMES
#define PROBE_CONSUMES 0u
#endif
#ifndef PROBE_SEARCHES
#define PROBE_SEARCHES 0u
#endif
#ifndef PROBE_LOAD_CODE
#define PROBE_LOAD_CODE 0
#endif
#ifndef PROBE_CLOSE_PRIORITY
#define PROBE_CLOSE_PRIORITY 0u
#endif

// Switches are given without a value: defined means 1.
#ifndef PROBE_WORKER
#define PROBE_WORKER 0
#endif
#ifndef PROBE_READER
#define PROBE_READER 0
#endif
#ifndef PROBE_WRITE_EVENTS
#define PROBE_WRITE_EVENTS 0
#endif
#ifndef PROBE_KEEP_LOGS
#define PROBE_KEEP_LOGS 0
#endif

ProbeVariant const kProbe{PROBE_NAME,      PROBE_ADDRESS,        PROBE_CONSUMES,    PROBE_SEARCHES,    PROBE_LOAD_CODE,
                          PROBE_CLOSE_PRIORITY, PROBE_WORKER != 0, PROBE_READER != 0, PROBE_WRITE_EVENTS != 0,
                          PROBE_KEEP_LOGS != 0};

OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) { return probe::Load(in, out); }
OX_PLUGIN_EXPORT int Close(CloseParams const* in, CloseResult* out) { return probe::Close(in, out); }
#ifndef PROBE_NO_UNLOAD
OX_PLUGIN_EXPORT int Unload(UnloadParams const* in, UnloadResult* out) { return probe::Unload(in, out); }
#endif
#ifndef PROBE_NO_OPEN
OX_PLUGIN_EXPORT int Open(OpenParams const* in, OpenResult* out) { return probe::Open(in, out); }
#endif
#ifndef PROBE_NO_ONEVENT
OX_PLUGIN_EXPORT int OnEvent(ox::core::EventParms const* e) { return probe::OnEvent(e); }
#endif
#ifdef PROBE_ON_IPC_RESULT
OX_PLUGIN_EXPORT int OnIpcResult(char const* data, size_t length) { return probe::OnIpcResult(data, length); }
#endif
#ifdef PROBE_IOCTL
OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult* out) { return probe::IOCTL(in, out); }
#endif
#if PROBE_WRITE_EVENTS
OX_PLUGIN_EXPORT int Write(WriteParams const* in, WriteResult* out) { return probe::Write(in, out); }
#endif
#if PROBE_READER
OX_PLUGIN_EXPORT int Read(ReadParams const* in, void* out) { return probe::Read(in, out); }
#endif
#ifdef PROBE_ONSEARCH
OX_PLUGIN_EXPORT int OnSearch(AsyncEventRecord const* request) { return probe::OnSearch(request); }
#endif
