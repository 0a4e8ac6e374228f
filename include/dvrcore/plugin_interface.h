/*
 * The plugin module interface: the records passed to a plugin's entry points
 * and the entry-point signatures. Plugin authors include this header (it pulls
 * in the event record). Self-contained C; usable from C++.
 *
 * Every record starts with the head {size, version}. The core fills the head of
 * every record it passes, zeroes the rest unless a field says otherwise, and
 * never checks a head that a plugin wrote.
 *
 * Layouts are fixed to the byte for the 32-bit appliance. On a 64-bit host the
 * fields keep their order and widths; explicit padding fields stand where the
 * natural LP64 layout needs them. The assertions at the end pin both.
 */
#ifndef OX_PLUGIN_PLUGIN_INTERFACE_H
#define OX_PLUGIN_PLUGIN_INTERFACE_H

#include "event_parms.h"

#if UINTPTR_MAX > 0xFFFFFFFFu
#define OX_LP64_PAD(name) uint32_t name;
#else
#define OX_LP64_PAD(name)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of a PluginInfo type word. */
#define OX_CONSUMES 0x02000000u   /* the plugin consumes events of this type */
#define OX_SEARCHABLE 0x04000000u /* the plugin answers searches for stored data of this type */

/* IOCTL codes. */
#define OX_IOCTL_WORKER_THREAD 1u /* once, on the plugin's worker thread */
#define OX_IOCTL_CONFIG_EVENT 2u  /* a configuration event, when OnEvent is absent */
#define OX_IOCTL_IPC_RESULT 4u    /* a parent reply, when OnIpcResult is absent */

/* The posting callback: DvrCore::eventReceiver. `context` is ignored. Any
 * thread may call it. It returns 0 when the record was accepted (the core has
 * copied the record and its payload; the buffer may be reused at once), 1 when
 * it was refused, 5 when live media was dropped while memory is short; a query
 * returns its answer.
 * - A null record is refused (1).
 * - decref (OX_TYPE_DECREF, `data` = the payload pointer the plugin was handed
 *   and kept by returning nonzero from OnEvent): 0 when released. A pointer the
 *   plugin does not hold a reference for (released already, never handed to
 *   it, or pointing into a payload) is refused with 1 without being touched,
 *   and logged once per plugin.
 * - The cancel query (OX_TYPE_CANCEL with OX_QUERY_FLAG) answers 1 for a
 *   cancelled request id, and for every id once the core is stopping: a search
 *   provider that polls it ends its searches when the core stops.
 * - Once the core has shut down, every post is refused (1). */
typedef int (*ox_EventCallback)(ox_EventParms* event, void* context);

typedef struct LoadParams {
    uint32_t size;    /* 24 */
    uint32_t version; /* 4 */
    uint32_t reserved;
    OX_LP64_PAD(reserved1)
    ox_EventCallback callback;
    char const* identity; /* machine identity; belongs to the core, copy it to keep it */
    uint32_t identityLen;
} LoadParams;

typedef struct PluginInfo {
    uint32_t size;    /* 68, written by the core */
    uint32_t version; /* 3, written by the core */
    uint32_t address; /* address word; plugin id in bits 16..23, OX_CORE_ADDRESS = none */
    uint32_t video;   /* type words: OX_CONSUMES | OX_SEARCHABLE */
    uint32_t audio;
    uint32_t alarm;
    uint32_t ptz;
    uint32_t serial;
    uint32_t closePriority; /* closed in descending order at shutdown */
    uint32_t log;
    uint32_t reserved40;
    uint32_t pos;
    uint32_t analytic;
    uint8_t workerThread; /* nonzero: IOCTL code 1 on a thread of its own */
    uint8_t reserved53;
    uint8_t asyncReader; /* nonzero: Read on a reader thread, and Read serves searches */
    uint8_t writeEvents; /* nonzero: events through Write when OnEvent is absent */
    uint8_t reserved56[12];
} PluginInfo;

typedef struct OpenParams {
    uint32_t size;    /* 16 */
    uint32_t version; /* 1 */
    uint32_t reserved[2];
} OpenParams;
typedef OpenParams OpenResult;

typedef struct CloseParams {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    uint32_t reserved;
} CloseParams;
typedef CloseParams CloseResult;

typedef struct UnloadParams {
    uint32_t size;    /* 8 */
    uint32_t version; /* 1 */
} UnloadParams;

typedef struct UnloadResult {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    uint32_t reserved;
} UnloadResult;

typedef struct ReadParams {
    uint32_t size;    /* 28 */
    uint32_t version; /* 1 */
    uint32_t reserved;
    uint8_t flag; /* 1 */
    uint8_t reserved13[3];
    uint32_t dataLen; /* reader thread: 0; search: the request's payload length */
    OX_LP64_PAD(reserved1)
    char const* data;   /* reader thread: null; search: the request's payload */
    uint32_t requestId; /* reader thread: 0; search: the request's id */
} ReadParams;

typedef struct WriteParams {
    uint32_t size;    /* 192 on the appliance */
    uint32_t version; /* 1 */
    uint32_t reserved[2];
    /* Bytes of the event record from `dataLen` to its end. */
    uint8_t event[sizeof(ox_EventParms) - 8];
} WriteParams;

typedef struct WriteResult {
    uint32_t size;    /* 24 */
    uint32_t version; /* 1 */
    uint32_t reserved[3];
    uint32_t keep; /* nonzero: the plugin keeps its reference to the event */
} WriteResult;

typedef struct IoctlParams {
    uint32_t size;    /* 28 */
    uint32_t version; /* 1 */
    uint32_t code;    /* OX_IOCTL_* */
    uint32_t reserved12;
    uint32_t reserved16;
    uint32_t dataLen;
    char const* data;
} IoctlParams;

typedef struct IoctlResult {
    uint32_t size;    /* 28 */
    uint32_t version; /* 1 */
    uint32_t code;    /* same as the request */
    uint32_t reserved12;
    uint32_t keep; /* code 2 only: nonzero = the plugin keeps its reference */
    uint32_t dataLen;
    char const* data;
} IoctlResult;

/* A search request as handed to OnSearch: the event record layout. */
typedef ox_EventParms AsyncEventRecord;

/* Entry points, exported by the plugin under these plain names. */
typedef int (*ox_LoadFn)(LoadParams const* in, PluginInfo* out);
typedef int (*ox_UnloadFn)(UnloadParams const* in, UnloadResult* out);
typedef int (*ox_OpenFn)(OpenParams const* in, OpenResult* out);
typedef int (*ox_CloseFn)(CloseParams const* in, CloseResult* out);
typedef int (*ox_OnIpcResultFn)(char const* data, size_t length);
typedef int (*ox_IoctlFn)(IoctlParams const* in, IoctlResult* out);
typedef int (*ox_OnEventFn)(ox_EventParms const* event);
typedef int (*ox_OnSearchFn)(AsyncEventRecord const* request);
typedef int (*ox_ReadFn)(ReadParams const* in, void* out);
typedef int (*ox_WriteFn)(WriteParams const* in, WriteResult* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

OX_STATIC_ASSERT(sizeof(PluginInfo) == 68, "PluginInfo");
OX_STATIC_ASSERT(offsetof(PluginInfo, closePriority) == 32, "closePriority");
OX_STATIC_ASSERT(offsetof(PluginInfo, log) == 36, "log");
OX_STATIC_ASSERT(offsetof(PluginInfo, pos) == 44, "pos");
OX_STATIC_ASSERT(offsetof(PluginInfo, analytic) == 48, "analytic");
OX_STATIC_ASSERT(offsetof(PluginInfo, workerThread) == 52, "workerThread");
OX_STATIC_ASSERT(offsetof(PluginInfo, asyncReader) == 54, "asyncReader");
OX_STATIC_ASSERT(offsetof(PluginInfo, writeEvents) == 55, "writeEvents");
OX_STATIC_ASSERT(sizeof(OpenParams) == 16, "OpenParams");
OX_STATIC_ASSERT(sizeof(CloseParams) == 12, "CloseParams");
OX_STATIC_ASSERT(sizeof(UnloadParams) == 8, "UnloadParams");
OX_STATIC_ASSERT(sizeof(UnloadResult) == 12, "UnloadResult");
OX_STATIC_ASSERT(sizeof(WriteResult) == 24, "WriteResult");
OX_STATIC_ASSERT(offsetof(WriteResult, keep) == 20, "WriteResult.keep");
OX_STATIC_ASSERT(offsetof(WriteParams, event) == 16, "WriteParams.event");
OX_STATIC_ASSERT(offsetof(IoctlParams, dataLen) == 20, "IoctlParams.dataLen");
OX_STATIC_ASSERT(offsetof(IoctlResult, keep) == 16, "IoctlResult.keep");
OX_STATIC_ASSERT(offsetof(ReadParams, flag) == 12, "ReadParams.flag");
OX_STATIC_ASSERT(offsetof(ReadParams, dataLen) == 16, "ReadParams.dataLen");

#if UINTPTR_MAX == 0xFFFFFFFFu
OX_STATIC_ASSERT(sizeof(LoadParams) == 24, "LoadParams");
OX_STATIC_ASSERT(offsetof(LoadParams, callback) == 12, "LoadParams.callback");
OX_STATIC_ASSERT(offsetof(LoadParams, identity) == 16, "LoadParams.identity");
OX_STATIC_ASSERT(offsetof(LoadParams, identityLen) == 20, "LoadParams.identityLen");
OX_STATIC_ASSERT(sizeof(ReadParams) == 28, "ReadParams");
OX_STATIC_ASSERT(offsetof(ReadParams, data) == 20, "ReadParams.data");
OX_STATIC_ASSERT(offsetof(ReadParams, requestId) == 24, "ReadParams.requestId");
OX_STATIC_ASSERT(sizeof(WriteParams) == 192, "WriteParams");
OX_STATIC_ASSERT(sizeof(IoctlParams) == 28, "IoctlParams");
OX_STATIC_ASSERT(sizeof(IoctlResult) == 28, "IoctlResult");
OX_STATIC_ASSERT(offsetof(IoctlParams, data) == 24, "IoctlParams.data");
#else
OX_STATIC_ASSERT(sizeof(LoadParams) == 40, "LoadParams, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, callback) == 16, "LoadParams.callback, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, identity) == 24, "LoadParams.identity, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, identityLen) == 32, "LoadParams.identityLen, LP64");
OX_STATIC_ASSERT(sizeof(ReadParams) == 40, "ReadParams, LP64");
OX_STATIC_ASSERT(offsetof(ReadParams, data) == 24, "ReadParams.data, LP64");
OX_STATIC_ASSERT(offsetof(ReadParams, requestId) == 32, "ReadParams.requestId, LP64");
OX_STATIC_ASSERT(sizeof(WriteParams) == 200, "WriteParams, LP64");
OX_STATIC_ASSERT(sizeof(IoctlParams) == 32, "IoctlParams, LP64");
OX_STATIC_ASSERT(sizeof(IoctlResult) == 32, "IoctlResult, LP64");
OX_STATIC_ASSERT(offsetof(IoctlParams, data) == 24, "IoctlParams.data, LP64");
#endif

#endif /* OX_PLUGIN_PLUGIN_INTERFACE_H */
