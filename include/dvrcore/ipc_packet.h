/*
 * For plugin authors who talk to the parent daemon: the packet header that
 * both directions share, the control packet types and the routing word. A
 * request is an OX_TYPE_IPC event whose payload is the complete packet,
 * header included, relayed byte for byte; results arrive in OnIpcResult (or
 * IOCTL code 4) on the I/O thread. Self-contained C (C99 and later) and C++.
 *
 * All header fields are unsigned 32-bit integers in the host's byte order.
 */
#ifndef OX_CORE_IPC_PACKET_H
#define OX_CORE_IPC_PACKET_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OX_IPC_HEADER_SIZE 16u    /* bytes of ox_IpcHeader */
#define OX_IPC_MAX_PACKET 65536u  /* largest packet, header included */

/* Packet types the core handles itself; every other type is a result for a plugin. */
#define OX_IPC_TYPE_IDENTITY 7u /* parent to core: NUL-separated file name, version, options */
#define OX_IPC_TYPE_STOP 8u     /* parent to core: shut down */

/* The routing word carries the plugin id in bits 20..27: the address word's
 * plugin id (bits 16..23, OX_PLUGIN_ID_MASK in dvrcore/event_parms.h) moved up
 * by 4, so ox_ipcPluginIdOf(ox_ipcRoutingOf(a)) == ox_pluginIdOf(a) for every
 * address word a other than OX_CORE_ADDRESS. A plugin without an address
 * (OX_CORE_ADDRESS) gets no results. */
#define OX_IPC_ROUTING_SHIFT 20u
#define OX_IPC_ROUTING_MASK 0x0FF00000u

/* The option text of an identity packet that silences the console. */
#define OX_IPC_BACKGROUND_OPTION "Background:true"

typedef struct ox_IpcHeader {
    uint32_t length;   /* total packet length, header included: 16 to 65536 */
    uint32_t routing;  /* plugin id of the requester in bits 20..27 */
    uint32_t type;     /* OX_IPC_TYPE_* or a result type agreed with the parent */
    uint32_t reserved; /* not interpreted by the core */
} ox_IpcHeader;

/* Routing word for a plugin's address word (plugin id in bits 16..23). */
static inline uint32_t ox_ipcRoutingOf(uint32_t address) {
    return (address << 4) & OX_IPC_ROUTING_MASK;
}

/* Plugin id named by a routing word. */
static inline uint32_t ox_ipcPluginIdOf(uint32_t routing) {
    return (routing & OX_IPC_ROUTING_MASK) >> OX_IPC_ROUTING_SHIFT;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define OX_IPC_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OX_IPC_STATIC_ASSERT _Static_assert
#else /* C99: GCC and Clang take the C11 form as an extension */
#define OX_IPC_STATIC_ASSERT __extension__ _Static_assert
#endif
/* Same layout on the 32-bit appliance and on LP64 hosts. */
OX_IPC_STATIC_ASSERT(sizeof(ox_IpcHeader) == OX_IPC_HEADER_SIZE, "ipc header size");
OX_IPC_STATIC_ASSERT(offsetof(ox_IpcHeader, length) == 0, "ipc length offset");
OX_IPC_STATIC_ASSERT(offsetof(ox_IpcHeader, routing) == 4, "ipc routing offset");
OX_IPC_STATIC_ASSERT(offsetof(ox_IpcHeader, type) == 8, "ipc type offset");
OX_IPC_STATIC_ASSERT(offsetof(ox_IpcHeader, reserved) == 12, "ipc reserved offset");
#undef OX_IPC_STATIC_ASSERT

#endif /* OX_CORE_IPC_PACKET_H */
