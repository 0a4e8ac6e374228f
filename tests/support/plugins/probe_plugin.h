// The probe test plugin: what a variant is, and the entry points of the body
// that its exported entries call.
#pragma once

#include "dvrcore/plugin_interface.h"

#include <cstddef>
#include <cstdint>

struct ProbeVariant {
    char const* name;       ///< its trace and variable prefix: PROBE_<name>_*
    uint32_t address;       ///< its address word
    uint32_t consumes;      ///< OR of OX_TYPE_* whose type word gets OX_CONSUMES
    uint32_t searches;      ///< OR of OX_TYPE_* whose type word gets OX_SEARCHABLE
    int32_t loadCode;       ///< what Load returns
    uint32_t closePriority;
    bool worker;            ///< asks for a worker thread
    bool reader;            ///< asks for an async reader
    bool writeEvents;       ///< takes events through Write
    bool keepLogs;          ///< keeps every log record, as a log plugin may
};

/// Defined by the variant.
extern ProbeVariant const kProbe;

namespace probe {
int Load(LoadParams const* in, PluginInfo* out);
int Unload(UnloadParams const* in, UnloadResult* out);
int Open(OpenParams const* in, OpenResult* out);
int Close(CloseParams const* in, CloseResult* out);
int OnEvent(ox::core::EventParms const* e);
int OnIpcResult(char const* data, size_t length);
int IOCTL(IoctlParams const* in, IoctlResult* out);
int Write(WriteParams const* in, WriteResult* out);
int Read(ReadParams const* in, void* out);
int OnSearch(AsyncEventRecord const* request);
} // namespace probe
