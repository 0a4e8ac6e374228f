/*
 * The plugin module interface, for plugin authors: the entry points a plugin
 * exports, the records the core passes to them, the posting callback and
 * what each call returns, who owns what, and which thread calls what.
 * Include it (it pulls in the event record, dvrcore/event_parms.h), define
 * the entry points with OX_PLUGIN_EXPORT and build a shared object ending in
 * ".so". Self-contained C (C99 and later) and C++.
 *
 * Every record starts with the head {size, version}. The core fills the head of
 * every record it passes, zeroes the rest unless a field says otherwise, and
 * never checks a head that a plugin wrote.
 *
 * Layouts are fixed to the byte for the 32-bit appliance. On a 64-bit host the
 * fields keep their order and widths; explicit padding fields stand where the
 * natural LP64 layout needs them. The assertions at the end pin both.
 *
 * Entry points (plain unmangled names, standard calling convention):
 *
 *   entry        required?            thread                result
 *   Load         yes, with Unload     main                  0 = loaded; else the load code
 *   Unload       yes, with Load       main                  ignored
 *   Open         yes, with Close      main                  ignored (opened whatever it returns)
 *   Close        yes, with Open       main                  ignored
 *   OnEvent      no                   dispatcher (main) [1] OX_EVENT_DONE; OX_EVENT_KEEP keeps the payload
 *   OnSearch     no                   search threads [2]    ignored
 *   Read         no                   reader or search [2]  ignored
 *   Write        no                   dispatcher (main) [1] ignored; WriteResult.keep is read
 *   IOCTL        no                   see OX_IOCTL_*        ignored; IoctlResult.keep for code 2
 *   OnIpcResult  no                   I/O thread            ignored
 *
 * Without Load or Unload the library is not loaded and Load is not called
 * (load code -101). A nonzero Load result is the load code: the library is
 * closed and Unload is never called. Without Open or Close the plugin is never
 * opened (open code -102): it gets no events but configuration events through
 * IOCTL code 2, no searches; its worker thread and replies still work.
 * Close is called at shutdown even when Open is missing; after Close returns
 * the core calls no OnEvent, OnSearch, Read or Write, and the plugin must have
 * ended its worker IOCTL and reader Read calls. Parent replies may still reach
 * OnIpcResult (or IOCTL code 4) until Unload begins. Unload follows once those
 * threads have ended; a plugin that was never opened still gets Unload.
 *
 * [1] One plugin and one event at a time, so a slow OnEvent delays every
 *     plugin. While the core is stopping, the log plugin's OnEvent also runs
 *     on the thread that posts a log record.
 * [2] One thread per request and plugin: several may run in one plugin at
 *     once, alongside OnEvent, OnIpcResult and the plugin's own threads. A
 *     plugin protects its own state.
 *
 * Ownership:
 * - Every record passed to an entry point lives only for the call.
 * - LoadParams.identity belongs to the core; a plugin that needs it later
 *   copies it.
 * - The event handed to OnEvent (or Write, or IOCTL code 2) is the core's
 *   copy: read-only, valid for the call. Its payload belongs to the core and
 *   stays valid only while the plugin holds a reference: see the keep rule.
 * - OnSearch's request and its payload are the core's copies, valid until
 *   OnSearch returns. OnIpcResult's bytes are valid only during the call.
 */
#ifndef OX_PLUGIN_PLUGIN_INTERFACE_H
#define OX_PLUGIN_PLUGIN_INTERFACE_H

#include "event_parms.h"

#if defined(__cplusplus)
#define OX_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OX_STATIC_ASSERT _Static_assert
#else /* C99: GCC and Clang take the C11 form as an extension */
#define OX_STATIC_ASSERT __extension__ _Static_assert
#endif

#if UINTPTR_MAX > 0xFFFFFFFFu
#define OX_LP64_PAD(name) uint32_t name;
#else
#define OX_LP64_PAD(name)
#endif

/* Marks a plugin's entry points for export under their plain names:
 * OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out) { ... } */
#ifdef __cplusplus
#define OX_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define OX_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of a PluginInfo type word. */
#define OX_CONSUMES 0x02000000u   /* the plugin consumes events of this type */
#define OX_SEARCHABLE 0x04000000u /* the plugin answers searches for stored data of this type */

/* IOCTL codes. */
#define OX_IOCTL_WORKER_THREAD 1u /* once, on the plugin's worker thread; may last until Close */
#define OX_IOCTL_CONFIG_EVENT 2u  /* main thread: a config event (type exactly OX_TYPE_CONFIG) when OnEvent is absent */
#define OX_IOCTL_IPC_RESULT 4u    /* I/O thread: a parent reply when OnIpcResult is absent */

/* Results of OnEvent, by the keep rule below. */
#define OX_EVENT_DONE 0 /* the core takes its reference back at once */
#define OX_EVENT_KEEP 1 /* the plugin keeps the reference until its decref; any nonzero value keeps */

/* Results of the posting callback for ordinary records. Queries return their
 * answer instead; crypto records a crypto result (dvrcore/crypto_event.h). */
#define OX_POST_ACCEPTED 0 /* taken: the core copied the record and its payload */
#define OX_POST_REFUSED 1  /* not taken; the poster's record and buffer are untouched */
#define OX_POST_DROPPED 5  /* live audio or video dropped while memory is short */

/*
 * The posting callback: the core's event entry point, handed over in
 * LoadParams. `context` is ignored and may be null. Thread-safe: any thread
 * the plugin owns may call it, from inside Load until Unload returns,
 * including from inside OnEvent. A null `data` makes the core set the
 * caller's `dataLen` to 0.
 *
 * The core copies what it keeps before the call returns (the record by value,
 * the payload into a block of its own): the poster may reuse its buffer at
 * once. Crypto records are transformed in the poster's buffer instead.
 *
 * - OX_POST_ACCEPTED: queued, taken as a search request, a log record
 *   printed or filtered, a cancel or a decref done, an ipc request relayed.
 * - OX_POST_REFUSED: a null record; the core is stopping (queries, decref,
 *   cancel, ipc and crypto records are still served) or has shut down;
 *   a payload over 16 MiB; while memory is short, a poster with too much
 *   payload queued, or too much payload alive in all; a search result whose
 *   search was cancelled or that comes from a thread that is no search
 *   thread; a bad decref (below); an ipc request without a parent channel,
 *   while its send queue is full, or whose payload is not one complete packet
 *   (dvrcore/ipc_packet.h).
 * - OX_POST_DROPPED: live audio or video while memory is short.
 * - Log query (OX_TYPE_LOG | OX_QUERY_FLAG in `flags`): the log level in force
 *   for the poster's plugin id (25 unless configured).
 * - Cancel query (OX_TYPE_CANCEL with OX_QUERY_FLAG): 1 for a cancelled
 *   request id, and for every id once the core has begun closing its
 *   plugins (after the last queued event is delivered), so a search provider
 *   that polls it ends its searches when the core stops; else 0.
 *
 * Keep rule. The core takes a reference on an event's payload for the plugin
 * just before OnEvent (or the Write or IOCTL code 2 fallback). Returning
 * OX_EVENT_DONE (keep 0) gives it back at once: the payload must not be
 * touched after the call. Returning OX_EVENT_KEEP (keep nonzero) keeps it:
 * the payload stays valid until the plugin releases it by posting exactly
 * one decref record, OX_TYPE_DECREF with `data` = the same payload pointer
 * and `source` = its own address word (the other fields are ignored); that
 * returns OX_POST_ACCEPTED, from any thread.
 * A decref for a pointer the plugin holds no reference to (a second release,
 * a pointer never handed to it, one into a payload) is refused with
 * OX_POST_REFUSED, touches nothing and is logged once per plugin; a decref
 * with a null `data` does nothing and returns OX_POST_ACCEPTED. References
 * still held when the core exits are reported by plugin.
 */
typedef int (*ox_EventCallback)(ox_EventParms* event, void* context);

/* Record sizes and versions. Sizes with a pointer differ on LP64 hosts. */
#define OX_LOAD_PARAMS_VERSION 4u
#define OX_PLUGIN_INFO_VERSION 3u
#define OX_PLUGIN_INFO_SIZE 68u
#define OX_OPEN_PARAMS_VERSION 1u
#define OX_OPEN_PARAMS_SIZE 16u
#define OX_OPEN_RESULT_VERSION 1u
#define OX_OPEN_RESULT_SIZE 16u
#define OX_CLOSE_PARAMS_VERSION 1u
#define OX_CLOSE_PARAMS_SIZE 12u
#define OX_CLOSE_RESULT_VERSION 1u
#define OX_CLOSE_RESULT_SIZE 12u
#define OX_UNLOAD_PARAMS_VERSION 1u
#define OX_UNLOAD_PARAMS_SIZE 8u
#define OX_UNLOAD_RESULT_VERSION 1u
#define OX_UNLOAD_RESULT_SIZE 12u
#define OX_READ_PARAMS_VERSION 1u
#define OX_WRITE_PARAMS_VERSION 1u
#define OX_WRITE_RESULT_VERSION 1u
#define OX_WRITE_RESULT_SIZE 24u
#define OX_IOCTL_PARAMS_VERSION 1u
#define OX_IOCTL_RESULT_VERSION 1u
#if UINTPTR_MAX == 0xFFFFFFFFu
#define OX_LOAD_PARAMS_SIZE 24u
#define OX_READ_PARAMS_SIZE 28u
#define OX_WRITE_PARAMS_SIZE 192u
#define OX_IOCTL_PARAMS_SIZE 28u
#define OX_IOCTL_RESULT_SIZE 28u
#else
#define OX_LOAD_PARAMS_SIZE 40u
#define OX_READ_PARAMS_SIZE 40u
#define OX_WRITE_PARAMS_SIZE 200u
#define OX_IOCTL_PARAMS_SIZE 32u
#define OX_IOCTL_RESULT_SIZE 32u
#endif

typedef struct LoadParams {
    uint32_t size;    /* OX_LOAD_PARAMS_SIZE */
    uint32_t version; /* OX_LOAD_PARAMS_VERSION */
    uint32_t reserved;
    OX_LP64_PAD(reserved1)
    ox_EventCallback callback;
    char const* identity; /* machine identity, not NUL-terminated; the core's: copy it to keep it */
    uint32_t identityLen; /* its length in bytes */
    OX_LP64_PAD(reserved36) /* the tail the LP64 layout rounds to 8 bytes */
} LoadParams;

typedef struct PluginInfo {
    uint32_t size;    /* OX_PLUGIN_INFO_SIZE, written by the core */
    uint32_t version; /* OX_PLUGIN_INFO_VERSION, written by the core */
    uint32_t address; /* address word: plugin id in bits 16..23, unique among the
                       * loaded plugins; OX_CORE_ADDRESS = none (plugin id 0).
                       * A plugin whose id is taken is unloaded again
                       * ("pluginId NN already loaded from ..."): the log
                       * plugin's id 1 is taken, and OX_CORE_ADDRESS and an id
                       * byte of 0 are the same id 0, since the core counts
                       * kept references per plugin id. */
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
    uint32_t size;    /* OX_OPEN_PARAMS_SIZE */
    uint32_t version; /* OX_OPEN_PARAMS_VERSION */
    uint32_t reserved[2];
} OpenParams;
typedef OpenParams OpenResult;

typedef struct CloseParams {
    uint32_t size;    /* OX_CLOSE_PARAMS_SIZE */
    uint32_t version; /* OX_CLOSE_PARAMS_VERSION */
    uint32_t reserved;
} CloseParams;
typedef CloseParams CloseResult;

typedef struct UnloadParams {
    uint32_t size;    /* OX_UNLOAD_PARAMS_SIZE */
    uint32_t version; /* OX_UNLOAD_PARAMS_VERSION */
} UnloadParams;

typedef struct UnloadResult {
    uint32_t size;    /* OX_UNLOAD_RESULT_SIZE */
    uint32_t version; /* OX_UNLOAD_RESULT_VERSION */
    uint32_t reserved;
} UnloadResult;

typedef struct ReadParams {
    uint32_t size;    /* OX_READ_PARAMS_SIZE */
    uint32_t version; /* OX_READ_PARAMS_VERSION */
    uint32_t reserved;
    uint8_t flag; /* 1 */
    uint8_t reserved13[3];
    uint32_t dataLen; /* reader thread: 0; search: the request's payload length */
    OX_LP64_PAD(reserved1)
    char const* data;   /* reader thread: null; search: the core's copy of the request's payload */
    uint32_t requestId; /* reader thread: 0; search: the request's id */
    OX_LP64_PAD(reserved36) /* the tail the LP64 layout rounds to 8 bytes */
} ReadParams;

typedef struct WriteParams {
    uint32_t size;    /* OX_WRITE_PARAMS_SIZE */
    uint32_t version; /* OX_WRITE_PARAMS_VERSION */
    uint32_t reserved[2];
    /* Bytes of the event record from `dataLen` to its end; its `data` is the
     * core's payload, under the same keep rule as OnEvent. */
    uint8_t event[sizeof(ox_EventParms) - 8];
} WriteParams;

typedef struct WriteResult {
    uint32_t size;    /* OX_WRITE_RESULT_SIZE */
    uint32_t version; /* OX_WRITE_RESULT_VERSION */
    uint32_t reserved[3];
    uint32_t keep; /* nonzero: the plugin keeps its reference to the event */
} WriteResult;

typedef struct IoctlParams {
    uint32_t size;    /* OX_IOCTL_PARAMS_SIZE */
    uint32_t version; /* OX_IOCTL_PARAMS_VERSION */
    uint32_t code;    /* OX_IOCTL_* */
    uint32_t reserved12;
    uint32_t reserved16;
    uint32_t dataLen; /* code 2: the event's payload length; code 4: the packet's */
    char const* data; /* code 2: the core's payload (keep rule of OnEvent); code 4: the packet */
} IoctlParams;

typedef struct IoctlResult {
    uint32_t size;    /* OX_IOCTL_RESULT_SIZE */
    uint32_t version; /* OX_IOCTL_RESULT_VERSION */
    uint32_t code;    /* same as the request */
    uint32_t reserved12;
    uint32_t keep; /* code 2 only: nonzero = the plugin keeps its reference */
    uint32_t dataLen;
    char const* data;
} IoctlResult;

/* A search request as handed to OnSearch: the event record layout, whose
 * `data` is the core's copy of the request payload. Results are posted
 * through the callback from the OnSearch thread, each carrying the request's
 * `requestId`. */
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

/* Prototypes, so that the compiler checks a plugin's definitions. The core
 * reads no result it does not list above; a plugin whose entries return
 * another type defines OX_PLUGIN_NO_PROTOTYPES before including this. */
#ifndef OX_PLUGIN_NO_PROTOTYPES
/* Called once after the library is opened; `out` is zeroed but for its head. */
OX_PLUGIN_EXPORT int Load(LoadParams const* in, PluginInfo* out);
/* Main thread, once, after every other call has returned; result ignored.
 * Nothing of the plugin may run past it: join your own threads first. */
OX_PLUGIN_EXPORT int Unload(UnloadParams const* in, UnloadResult* out);
/* Main thread, once, after every plugin's Load; result ignored (opened whatever
 * it returns). Its records live for the call, as every entry point's. */
OX_PLUGIN_EXPORT int Open(OpenParams const* in, OpenResult* out);
/* Main thread, once at shutdown, in descending closePriority; result ignored.
 * Ends the worker IOCTL and reader Read; kept payloads stay valid until their decref. */
OX_PLUGIN_EXPORT int Close(CloseParams const* in, CloseResult* out);
/* One complete packet from the parent (header included) whose routing word
 * names this plugin (dvrcore/ipc_packet.h). */
OX_PLUGIN_EXPORT int OnIpcResult(char const* data, size_t length);
/* On the thread its code names (OX_IOCTL_*); result ignored. `in->data` is the
 * core's: code 2 keeps it with a nonzero `out->keep` (keep rule), code 4 never. */
OX_PLUGIN_EXPORT int IOCTL(IoctlParams const* in, IoctlResult* out);
/* Dispatcher, one event at a time; OX_EVENT_DONE or OX_EVENT_KEEP (keep rule).
 * The record lives for the call; only a kept payload outlives it. */
OX_PLUGIN_EXPORT int OnEvent(ox_EventParms const* event);
/* A search thread of its own per request; result ignored. Post the results from
 * this thread; `request` and its payload live until the call returns. */
OX_PLUGIN_EXPORT int OnSearch(AsyncEventRecord const* request);
/* `out` is always null. Reader thread (asyncReader): once, without data; may
 * last until Close. Search thread: the request, when OnSearch is absent. */
OX_PLUGIN_EXPORT int Read(ReadParams const* in, void* out);
/* Events, when OnEvent is absent and writeEvents is set. */
OX_PLUGIN_EXPORT int Write(WriteParams const* in, WriteResult* out);
#endif

OX_STATIC_ASSERT(sizeof(PluginInfo) == OX_PLUGIN_INFO_SIZE, "PluginInfo");
OX_STATIC_ASSERT(offsetof(PluginInfo, address) == 8, "address");
OX_STATIC_ASSERT(offsetof(PluginInfo, video) == 12, "video");
OX_STATIC_ASSERT(offsetof(PluginInfo, audio) == 16, "audio");
OX_STATIC_ASSERT(offsetof(PluginInfo, alarm) == 20, "alarm");
OX_STATIC_ASSERT(offsetof(PluginInfo, ptz) == 24, "ptz");
OX_STATIC_ASSERT(offsetof(PluginInfo, serial) == 28, "serial");
OX_STATIC_ASSERT(offsetof(PluginInfo, closePriority) == 32, "closePriority");
OX_STATIC_ASSERT(offsetof(PluginInfo, log) == 36, "log");
OX_STATIC_ASSERT(offsetof(PluginInfo, reserved40) == 40, "reserved40");
OX_STATIC_ASSERT(offsetof(PluginInfo, pos) == 44, "pos");
OX_STATIC_ASSERT(offsetof(PluginInfo, analytic) == 48, "analytic");
OX_STATIC_ASSERT(offsetof(PluginInfo, workerThread) == 52, "workerThread");
OX_STATIC_ASSERT(offsetof(PluginInfo, reserved53) == 53, "reserved53");
OX_STATIC_ASSERT(offsetof(PluginInfo, asyncReader) == 54, "asyncReader");
OX_STATIC_ASSERT(offsetof(PluginInfo, writeEvents) == 55, "writeEvents");
OX_STATIC_ASSERT(offsetof(PluginInfo, reserved56) == 56, "reserved56");
OX_STATIC_ASSERT(sizeof(OpenParams) == OX_OPEN_PARAMS_SIZE, "OpenParams");
OX_STATIC_ASSERT(sizeof(OpenResult) == OX_OPEN_RESULT_SIZE, "OpenResult");
OX_STATIC_ASSERT(sizeof(CloseParams) == OX_CLOSE_PARAMS_SIZE, "CloseParams");
OX_STATIC_ASSERT(sizeof(CloseResult) == OX_CLOSE_RESULT_SIZE, "CloseResult");
OX_STATIC_ASSERT(sizeof(UnloadParams) == OX_UNLOAD_PARAMS_SIZE, "UnloadParams");
OX_STATIC_ASSERT(sizeof(UnloadResult) == OX_UNLOAD_RESULT_SIZE, "UnloadResult");
OX_STATIC_ASSERT(sizeof(WriteResult) == OX_WRITE_RESULT_SIZE, "WriteResult");
OX_STATIC_ASSERT(offsetof(WriteResult, keep) == 20, "WriteResult.keep");
OX_STATIC_ASSERT(offsetof(WriteParams, event) == 16, "WriteParams.event");
OX_STATIC_ASSERT(sizeof(WriteParams) == OX_WRITE_PARAMS_SIZE, "WriteParams");
OX_STATIC_ASSERT(offsetof(IoctlParams, code) == 8, "IoctlParams.code");
OX_STATIC_ASSERT(offsetof(IoctlParams, dataLen) == 20, "IoctlParams.dataLen");
OX_STATIC_ASSERT(sizeof(IoctlParams) == OX_IOCTL_PARAMS_SIZE, "IoctlParams");
OX_STATIC_ASSERT(offsetof(IoctlResult, code) == 8, "IoctlResult.code");
OX_STATIC_ASSERT(offsetof(IoctlResult, keep) == 16, "IoctlResult.keep");
OX_STATIC_ASSERT(sizeof(IoctlResult) == OX_IOCTL_RESULT_SIZE, "IoctlResult");
OX_STATIC_ASSERT(offsetof(ReadParams, flag) == 12, "ReadParams.flag");
OX_STATIC_ASSERT(offsetof(ReadParams, dataLen) == 16, "ReadParams.dataLen");
OX_STATIC_ASSERT(sizeof(ReadParams) == OX_READ_PARAMS_SIZE, "ReadParams");
OX_STATIC_ASSERT(sizeof(LoadParams) == OX_LOAD_PARAMS_SIZE, "LoadParams");
OX_STATIC_ASSERT(offsetof(LoadParams, reserved) == 8, "LoadParams.reserved");

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
OX_STATIC_ASSERT(offsetof(IoctlResult, data) == 24, "IoctlResult.data");
#else
OX_STATIC_ASSERT(sizeof(LoadParams) == 40, "LoadParams, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, callback) == 16, "LoadParams.callback, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, identity) == 24, "LoadParams.identity, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, identityLen) == 32, "LoadParams.identityLen, LP64");
OX_STATIC_ASSERT(offsetof(LoadParams, reserved36) == 36, "LoadParams.reserved36, LP64");
OX_STATIC_ASSERT(sizeof(ReadParams) == 40, "ReadParams, LP64");
OX_STATIC_ASSERT(offsetof(ReadParams, data) == 24, "ReadParams.data, LP64");
OX_STATIC_ASSERT(offsetof(ReadParams, requestId) == 32, "ReadParams.requestId, LP64");
OX_STATIC_ASSERT(offsetof(ReadParams, reserved36) == 36, "ReadParams.reserved36, LP64");
OX_STATIC_ASSERT(sizeof(WriteParams) == 200, "WriteParams, LP64");
OX_STATIC_ASSERT(sizeof(IoctlParams) == 32, "IoctlParams, LP64");
OX_STATIC_ASSERT(sizeof(IoctlResult) == 32, "IoctlResult, LP64");
OX_STATIC_ASSERT(offsetof(IoctlParams, data) == 24, "IoctlParams.data, LP64");
OX_STATIC_ASSERT(offsetof(IoctlResult, data) == 24, "IoctlResult.data, LP64");
#endif

/* Layout helpers only. */
#undef OX_STATIC_ASSERT
#undef OX_LP64_PAD

#endif /* OX_PLUGIN_PLUGIN_INTERFACE_H */
