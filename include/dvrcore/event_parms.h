/*
 * The event record: what a plugin posts through the callback it got in Load
 * and what its OnEvent receives, with the type catalogue, the class and flag
 * bits, the address word and the plugin id. Start every record with
 * ox_initEvent (C) or ox::core::makeEvent (C++).
 *
 * Self-contained C (C99 and later) and C++; needs only <stdint.h>,
 * <stddef.h> and <string.h>. The C++ conveniences (ox::core::EventParms, the
 * typed views, toAny) need C++17; older C++ sees the C record. The other
 * C++ helper headers (xml_node.h uses concepts) need C++20.
 *
 * The layout is fixed to the byte for the 32-bit appliance (184 bytes). On a
 * 64-bit host the fields keep their order and widths and take the natural C
 * layout (192 bytes); the assertions at the end pin both.
 *
 * Ownership: a record is a plain value; copying it copies `data`, never the
 * payload. The poster owns what it posts; the core copies what it keeps
 * before the post returns. A record handed to OnEvent is the core's copy and
 * its payload belongs to the core (dvrcore/plugin_interface.h).
 */
#ifndef OX_CORE_EVENTS_EVENT_PARMS_H
#define OX_CORE_EVENTS_EVENT_PARMS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* Address words. */
#define OX_CORE_ADDRESS 0x80000000u /* the core itself, or a plugin without an address */
/* Any other address word carries its plugin id in bits 16..23; the core's is 0. */
#define OX_PLUGIN_ID_SHIFT 16u
#define OX_PLUGIN_ID_MASK 0x00FF0000u

/* Class byte of `flags`. */
#define OX_LIVE_CLASS 0x01000000u
#define OX_STORED_CLASS 0x04000000u
#define OX_CLASS_MASK 0xFF000000u

/* Type-specific flag bits. */
#define OX_QUERY_FLAG 0x00000001u   /* log and cancel: the post is a question */
#define OX_TEXT_PAYLOAD 0x00000002u /* payload is text; log records are echoed */
#define OX_XML_PAYLOAD 0x00000010u  /* payload is an XML document */

/* Bit of `type` that names a variant of a type; stripped for naming and routing. */
#define OX_TYPE_MODIFIER 0x4000u

/* The type catalogue. */
#define OX_TYPE_UNSPECIFIED 0x0u
#define OX_TYPE_VIDEO 0x1u
#define OX_TYPE_AUDIO 0x2u
#define OX_TYPE_ALARM 0x4u
#define OX_TYPE_PTZ 0x8u
#define OX_TYPE_SERIAL 0x10u
#define OX_TYPE_WATCHDOG 0x20u
#define OX_TYPE_LOG 0x40u
#define OX_TYPE_CONFIG 0x100u
#define OX_TYPE_DECREF 0x200u
#define OX_TYPE_POS 0x400u
#define OX_TYPE_CANCEL 0x1000u
#define OX_TYPE_IPC 0x2000u
#define OX_TYPE_CRYPTO 0x8000u
#define OX_TYPE_ANALYTIC 0x10000u

/* Severities of log records (`level`); the log query answers the least one
 * that is shown. 100 and above also go to the system log. */
#define OX_LOG_DEBUG 0
#define OX_LOG_INFO 25 /* the default threshold */
#define OX_LOG_NOTICE 50
#define OX_LOG_WARNING 75
#define OX_LOG_CRITICAL 100

/* Typed-area bits of video and audio records. */
#define OX_FRAME_KIND_MASK 0x03u /* in `frameKind` */
#define OX_KEY_FRAME 0x01u
#define OX_OUTPUT_BIT 0x20u /* in `mediaFlags`: play out through the device of `source` */

/* Heads of the record: `size`/`version` and `parmsSize`/`parmsVersion`. */
#define OX_EVENT_RECORD_VERSION 1u
#define OX_EVENT_PARMS_VERSION 1u
#if UINTPTR_MAX == 0xFFFFFFFFu
#define OX_EVENT_RECORD_SIZE 184u /* the appliance */
#else
#define OX_EVENT_RECORD_SIZE 192u /* LP64 hosts */
#endif
#define OX_EVENT_PARMS_SIZE 152u /* from `parmsSize` to the end, on every platform */

/* Plugin id of an address word: 0 for OX_CORE_ADDRESS, else bits 16..23. */
static inline uint32_t ox_pluginIdOf(uint32_t address) {
    return address == OX_CORE_ADDRESS ? 0u : (address & OX_PLUGIN_ID_MASK) >> OX_PLUGIN_ID_SHIFT;
}

/*
 * The other bits of a producer's `source` word. The core reads only the
 * plugin id; plugins agree on these:
 *   bits 0..7    the camera number of a video or audio record, live or stored,
 *                1..255; 0 = not tied to a camera (the port number for serial
 *                data, the camera watching the till for point of sale);
 *   bits 8..15   the producer's own (a stream number, say); consumers do not
 *                read them;
 *   bits 24..31  zero.
 * A camera plugin posts own address | (stream << 8) | camera; a recorder
 * replays with its own address and the recorded camera; output media name
 * the addressee's address and camera.
 */
#define OX_CAMERA_MASK 0x000000FFu
#define OX_PRODUCER_MASK 0x0000FF00u

/* Camera number of a `source` word: bits 0..7, 0 for OX_CORE_ADDRESS. */
static inline uint32_t ox_cameraOf(uint32_t source) { return source == OX_CORE_ADDRESS ? 0u : source & OX_CAMERA_MASK; }

/*
 * Field list of the record. `level` shares its slot with the content length
 * of crypto records and the first word of analytic records.
 */
#if UINTPTR_MAX > 0xFFFFFFFFu
#define OX_EVENT_PARMS_POINTER_PAD uint32_t reserved0; /* natural alignment of `data` on LP64 */
#else
#define OX_EVENT_PARMS_POINTER_PAD
#endif

#define OX_EVENT_PARMS_FIELDS                                                        \
    uint32_t size;         /* whole record: 184 on the appliance */                 \
    uint32_t version;      /* 1 */                                                   \
    uint32_t dataLen;      /* payload length; 0 = none */                            \
    OX_EVENT_PARMS_POINTER_PAD                                                       \
    char* data;            /* payload, not NUL-terminated; owned by the poster */    \
    uint32_t source;       /* address word of the originator (addressee for output) */ \
    uint32_t requestId;    /* search request id, 0 = none */                         \
    uint32_t type;         /* one catalogue value, optionally | OX_TYPE_MODIFIER */  \
    uint32_t flags;        /* class byte in bits 24..31, type flags below */         \
    uint32_t parmsSize;    /* bytes from this field to the end of the record */      \
    uint32_t parmsVersion; /* 1 */                                                   \
    int32_t level;         /* log: severity; crypto: content length (crypto_event.h) */ \
    uint32_t seconds;      /* video, audio: time stamp */                            \
    uint16_t milliseconds; /* video, audio: time stamp */                            \
    uint8_t frameKind;     /* video: bits 0..1, 1 = key frame */                     \
    uint8_t mediaFlags;    /* video, audio: OX_OUTPUT_BIT */                         \
    uint8_t typed[132];    /* defined between producing and consuming plugins */

#if defined(__cplusplus) && __cplusplus >= 201703L
#include <any>

namespace ox::core {

struct EventParms {
    OX_EVENT_PARMS_FIELDS
};

inline constexpr uint32_t kCoreAddress = OX_CORE_ADDRESS;
inline constexpr uint32_t kLiveClass = OX_LIVE_CLASS;
inline constexpr uint32_t kStoredClass = OX_STORED_CLASS;
inline constexpr uint32_t kQueryFlag = OX_QUERY_FLAG;
inline constexpr uint32_t kTextPayload = OX_TEXT_PAYLOAD;
inline constexpr uint32_t kXmlPayload = OX_XML_PAYLOAD;
inline constexpr uint32_t kTypeModifier = OX_TYPE_MODIFIER;
inline constexpr uint32_t kRecordSize = sizeof(EventParms);
inline constexpr uint32_t kParmsSize = sizeof(EventParms) - offsetof(EventParms, parmsSize);

/// Plugin id of an address word: 0 for the core, else bits 16..23 (ox_pluginIdOf).
constexpr unsigned pluginIdOf(uint32_t address) noexcept {
    return address == kCoreAddress ? 0u : (address & OX_PLUGIN_ID_MASK) >> OX_PLUGIN_ID_SHIFT;
}

/// Camera number of a `source` word (ox_cameraOf).
constexpr unsigned cameraOf(uint32_t source) noexcept { return source == kCoreAddress ? 0u : source & OX_CAMERA_MASK; }

/// Type identity with the modifier bit cleared.
constexpr uint32_t typeOf(EventParms const& e) noexcept { return e.type & ~kTypeModifier; }

/// Printed name of a type value (modifier bit already cleared); "unknown" outside the catalogue.
constexpr char const* typeName(uint32_t type) noexcept {
    switch (type) {
    case OX_TYPE_UNSPECIFIED: return "unspecified";
    case OX_TYPE_VIDEO: return "video";
    case OX_TYPE_AUDIO: return "audio";
    case OX_TYPE_ALARM: return "alarm";
    case OX_TYPE_PTZ: return "ptz";
    case OX_TYPE_SERIAL: return "serial";
    case OX_TYPE_WATCHDOG: return "watchdog";
    case OX_TYPE_LOG: return "log";
    case OX_TYPE_CONFIG: return "config";
    case OX_TYPE_DECREF: return "decref";
    case OX_TYPE_POS: return "pos";
    case OX_TYPE_CANCEL: return "cancel";
    case OX_TYPE_IPC: return "ipc";
    case OX_TYPE_CRYPTO: return "crypto";
    case OX_TYPE_ANALYTIC: return "analytic";
    default: return "unknown";
    }
}

// Typed views: no data of their own, a pointer to a view is the record's address.

template <uint32_t Class, uint32_t Type>
struct VideoBase : EventParms {
    bool keyFrame() const noexcept { return (frameKind & OX_FRAME_KIND_MASK) == OX_KEY_FRAME; }
    bool output() const noexcept { return (mediaFlags & OX_OUTPUT_BIT) != 0; }
    /// 1..255, or 0 when the producer names no camera (bits 0..7 of `source`).
    unsigned camera() const noexcept { return cameraOf(source); }
};
template <uint32_t Class, uint32_t Type>
struct AudioBase : EventParms {
    bool output() const noexcept { return (mediaFlags & OX_OUTPUT_BIT) != 0; }
    /// 1..255, or 0 when the producer names no camera (bits 0..7 of `source`).
    unsigned camera() const noexcept { return cameraOf(source); }
};
template <uint32_t Class, uint32_t Type>
struct XmlEvt : EventParms {};
template <uint32_t Class, uint32_t Type>
struct TxtEvt : EventParms {};

struct VideoEvt : VideoBase<kLiveClass, OX_TYPE_VIDEO> {};
struct VideoOutEvt : VideoEvt {};
struct StoredVideoEvt : VideoBase<kStoredClass, OX_TYPE_VIDEO> {};
struct AudioEvt : AudioBase<kLiveClass, OX_TYPE_AUDIO> {};
struct AudioOutEvt : AudioEvt {};
struct StoredAudioEvt : AudioBase<kStoredClass, OX_TYPE_AUDIO> {};
struct AlarmEvt : XmlEvt<kLiveClass, OX_TYPE_ALARM> {};
struct StoredAlarmEvt : XmlEvt<kStoredClass, OX_TYPE_ALARM> {};
struct PTZEvt : XmlEvt<kLiveClass, OX_TYPE_PTZ> {};
struct SerialEvt : TxtEvt<kLiveClass, OX_TYPE_SERIAL> {};
struct WatchdogEvt : EventParms {};
struct LogEvt : TxtEvt<kLiveClass, OX_TYPE_LOG> {};
struct StoredLogEvt : XmlEvt<kStoredClass, OX_TYPE_LOG> {};
struct ConfigEvt : XmlEvt<kLiveClass, OX_TYPE_CONFIG> {};
struct POSEvt : TxtEvt<kLiveClass, OX_TYPE_POS> {};
struct StoredPOSEvt : XmlEvt<kStoredClass, OX_TYPE_POS> {};
struct AnalyticEvt : XmlEvt<kLiveClass, OX_TYPE_ANALYTIC> {};
struct StoredAnalyticEvt : XmlEvt<kStoredClass, OX_TYPE_ANALYTIC> {};

namespace detail {
template <class View>
std::any viewOf(EventParms const& e) {
    return std::any(static_cast<View const*>(&e));
}
template <class Stored, class Live>
std::any byClass(EventParms const& e) {
    return (e.flags & kStoredClass) ? viewOf<Stored>(e) : viewOf<Live>(e);
}
} // namespace detail

/// The record as a std::any holding a const pointer of its view class; empty
/// for kinds without a view (decref, cancel, ipc, crypto, unspecified, unknown).
inline std::any toAny(EventParms const& e) {
    bool const stored = (e.flags & kStoredClass) != 0;
    bool const out = (e.mediaFlags & OX_OUTPUT_BIT) != 0;
    switch (typeOf(e)) {
    case OX_TYPE_VIDEO:
        if (stored) return detail::viewOf<StoredVideoEvt>(e);
        if (out && e.type == OX_TYPE_VIDEO) return detail::viewOf<VideoOutEvt>(e);
        return detail::viewOf<VideoEvt>(e);
    case OX_TYPE_AUDIO:
        if (stored) return detail::viewOf<StoredAudioEvt>(e);
        if (out && e.type == OX_TYPE_AUDIO) return detail::viewOf<AudioOutEvt>(e);
        return detail::viewOf<AudioEvt>(e);
    case OX_TYPE_ALARM: return detail::byClass<StoredAlarmEvt, AlarmEvt>(e);
    case OX_TYPE_PTZ: return detail::viewOf<PTZEvt>(e);
    case OX_TYPE_SERIAL: return detail::viewOf<SerialEvt>(e);
    case OX_TYPE_WATCHDOG: return detail::viewOf<WatchdogEvt>(e);
    case OX_TYPE_LOG: return detail::byClass<StoredLogEvt, LogEvt>(e);
    case OX_TYPE_CONFIG: return detail::viewOf<ConfigEvt>(e);
    case OX_TYPE_POS: return detail::byClass<StoredPOSEvt, POSEvt>(e);
    case OX_TYPE_ANALYTIC: return detail::byClass<StoredAnalyticEvt, AnalyticEvt>(e);
    default: return {};
    }
}

} // namespace ox::core

typedef ox::core::EventParms ox_EventParms;
#else
typedef struct ox_EventParms {
    OX_EVENT_PARMS_FIELDS
} ox_EventParms;
#endif

#if defined(__cplusplus)
#define OX_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OX_STATIC_ASSERT _Static_assert
#else /* C99: GCC and Clang take the C11 form as an extension */
#define OX_STATIC_ASSERT __extension__ _Static_assert
#endif

/* The layout plugins in the field are built against. */
#if UINTPTR_MAX == 0xFFFFFFFFu
OX_STATIC_ASSERT(sizeof(ox_EventParms) == 184, "event record is 184 bytes");
OX_STATIC_ASSERT(offsetof(ox_EventParms, size) == 0, "size");
OX_STATIC_ASSERT(offsetof(ox_EventParms, version) == 4, "version");
OX_STATIC_ASSERT(offsetof(ox_EventParms, dataLen) == 8, "dataLen");
OX_STATIC_ASSERT(offsetof(ox_EventParms, data) == 12, "data");
OX_STATIC_ASSERT(offsetof(ox_EventParms, source) == 16, "source");
OX_STATIC_ASSERT(offsetof(ox_EventParms, requestId) == 20, "requestId");
OX_STATIC_ASSERT(offsetof(ox_EventParms, type) == 24, "type");
OX_STATIC_ASSERT(offsetof(ox_EventParms, flags) == 28, "flags");
OX_STATIC_ASSERT(offsetof(ox_EventParms, parmsSize) == 32, "parmsSize");
OX_STATIC_ASSERT(offsetof(ox_EventParms, parmsVersion) == 36, "parmsVersion");
OX_STATIC_ASSERT(offsetof(ox_EventParms, level) == 40, "level");
OX_STATIC_ASSERT(offsetof(ox_EventParms, seconds) == 44, "seconds");
OX_STATIC_ASSERT(offsetof(ox_EventParms, milliseconds) == 48, "milliseconds");
OX_STATIC_ASSERT(offsetof(ox_EventParms, frameKind) == 50, "frameKind");
OX_STATIC_ASSERT(offsetof(ox_EventParms, mediaFlags) == 51, "mediaFlags");
OX_STATIC_ASSERT(offsetof(ox_EventParms, typed) == 52, "typed");
OX_STATIC_ASSERT(sizeof(ox_EventParms) - offsetof(ox_EventParms, parmsSize) == 152, "parmsSize");
#else
OX_STATIC_ASSERT(sizeof(ox_EventParms) == 192, "event record, LP64 layout");
OX_STATIC_ASSERT(offsetof(ox_EventParms, size) == 0, "size");
OX_STATIC_ASSERT(offsetof(ox_EventParms, version) == 4, "version");
OX_STATIC_ASSERT(offsetof(ox_EventParms, dataLen) == 8, "dataLen");
OX_STATIC_ASSERT(offsetof(ox_EventParms, data) == 16, "data");
OX_STATIC_ASSERT(offsetof(ox_EventParms, source) == 24, "source");
OX_STATIC_ASSERT(offsetof(ox_EventParms, requestId) == 28, "requestId");
OX_STATIC_ASSERT(offsetof(ox_EventParms, type) == 32, "type");
OX_STATIC_ASSERT(offsetof(ox_EventParms, flags) == 36, "flags");
OX_STATIC_ASSERT(offsetof(ox_EventParms, parmsSize) == 40, "parmsSize");
OX_STATIC_ASSERT(offsetof(ox_EventParms, parmsVersion) == 44, "parmsVersion");
OX_STATIC_ASSERT(offsetof(ox_EventParms, level) == 48, "level");
OX_STATIC_ASSERT(offsetof(ox_EventParms, seconds) == 52, "seconds");
OX_STATIC_ASSERT(offsetof(ox_EventParms, milliseconds) == 56, "milliseconds");
OX_STATIC_ASSERT(offsetof(ox_EventParms, frameKind) == 58, "frameKind");
OX_STATIC_ASSERT(offsetof(ox_EventParms, mediaFlags) == 59, "mediaFlags");
OX_STATIC_ASSERT(offsetof(ox_EventParms, typed) == 60, "typed");
OX_STATIC_ASSERT(sizeof(ox_EventParms) - offsetof(ox_EventParms, parmsSize) == 152, "parmsSize");
#endif
OX_STATIC_ASSERT(sizeof(ox_EventParms) == OX_EVENT_RECORD_SIZE, "OX_EVENT_RECORD_SIZE");
OX_STATIC_ASSERT(sizeof(ox_EventParms) - offsetof(ox_EventParms, parmsSize) == OX_EVENT_PARMS_SIZE,
                 "OX_EVENT_PARMS_SIZE");

/*
 * Starts a record: everything zero except both heads (size and version of the
 * record and of its parameters), the address word, the type and the flags.
 * Every record the core builds starts here; plugins should start theirs here
 * too, so that a field added later is zero for them.
 */
static inline void ox_initEvent(ox_EventParms* e, uint32_t source, uint32_t type, uint32_t flags) {
    memset(e, 0, sizeof *e);
    e->size = (uint32_t)sizeof *e;
    e->version = OX_EVENT_RECORD_VERSION;
    e->source = source;
    e->type = type;
    e->flags = flags;
    e->parmsSize = (uint32_t)(sizeof *e - offsetof(ox_EventParms, parmsSize));
    e->parmsVersion = OX_EVENT_PARMS_VERSION;
}

#if defined(__cplusplus) && __cplusplus >= 201703L
namespace ox::core {
/// A started record (ox_initEvent) carrying `data`, which stays the caller's.
inline EventParms makeEvent(uint32_t source, uint32_t type, uint32_t flags, char* data = nullptr,
                            uint32_t dataLen = 0) noexcept {
    EventParms e;
    ox_initEvent(&e, source, type, flags);
    e.data = data;
    e.dataLen = data ? dataLen : 0;
    return e;
}
} // namespace ox::core
#endif

/* Layout helpers only. */
#undef OX_STATIC_ASSERT
#undef OX_EVENT_PARMS_POINTER_PAD
#undef OX_EVENT_PARMS_FIELDS

#endif /* OX_CORE_EVENTS_EVENT_PARMS_H */
