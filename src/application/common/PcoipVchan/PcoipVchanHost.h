/*
 * The boundary between a PCoIP host process and this plug-in, written in plain
 * C so that a host written in C (or a host simulator) can use it as it stands.
 *
 * The host hands the plug-in a table of 29 pointer-sized entries. The plug-in
 * calls only the entries that carry a name below; the others are kept as
 * opaque slots so the table keeps its size and numbering. Every entry returns
 * a 32-bit result: 0 for success, a negative PCoIP code otherwise.
 */
#ifndef PCOIP_VCHAN_HOST_H
#define PCOIP_VCHAN_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- result codes ---- */
#define PCOIP_SUCCESS 0
#define PCOIP_ERR_FAILURE (-500) /* the plug-in's own failure code */
#define PCOIP_ERR_TIMEOUT (-504) /* a wait timed out */
#define PCOIP_ERR_EMPTY (-506)   /* nothing to read */

/* ---- connect events (first event argument of the connect callback) ---- */
/* Event 0 carries a 32-bit word; the value 1 tells the client end to open. */
#define PCOIP_VCHAN_CONNECT_EVENT_SESSION 0
#define PCOIP_VCHAN_CONNECT_SESSION_CONNECTED 1
/* Event 1 tells the server end to open. */
#define PCOIP_VCHAN_CONNECT_EVENT_CHANNEL 1

/* ---- channel events (event argument of the channel callback) ---- */
#define PCOIP_VCHAN_EVENT_OPEN_SUCCESS 0
#define PCOIP_VCHAN_EVENT_OPEN_REJECTED 1
#define PCOIP_VCHAN_EVENT_CLOSE_PENDING 2
#define PCOIP_VCHAN_EVENT_CLOSED 3
#define PCOIP_VCHAN_EVENT_RECV_RDY 4
#define PCOIP_VCHAN_EVENT_ERR_DETECTED 5
#define PCOIP_VCHAN_EVENT_DGRAM_LOST_CLOSE 6
#define PCOIP_VCHAN_EVENT_DGRAM_LOST_OVFLW 7
#define PCOIP_VCHAN_EVENT_RX_DATA_LOST 8

/* ---- constant arguments the plug-in passes ---- */
#define PCOIP_VCHAN_OPEN_FLAGS 0u              /* second argument of open */
#define PCOIP_VCHAN_SEND_WAIT_FOREVER 0xFFFFFFFFu /* last argument of send_dgram */
#define PCOIP_VCHAN_READ_FLAGS 0u              /* last argument of read */

#define PCOIP_VCHAN_INTF_ENTRY_COUNT 29

/* ---- callbacks the host makes ----
 * `context` is the value the plug-in registered (the address of its channel
 * record, whose first member is the channel name). */
typedef void (*pcoip_vchan_connect_cback)(void* context, void* reserved, uint32_t event,
                                          const uint32_t* event_data);
typedef void (*pcoip_vchan_chan_cback)(void* context, void* reserved, uint32_t event,
                                       void* event_data);

/* ---- host entries the plug-in calls ---- */
/* 1 */
typedef int32_t (*pcoip_vchan_register_connect_cback_fn)(const char* name,
                                                         pcoip_vchan_connect_cback cback,
                                                         void* context, uint32_t* registration);
/* 2 */
typedef int32_t (*pcoip_vchan_unregister_connect_cback_fn)(uint32_t registration);
/* 3: 0 means the open request was accepted and *handle is filled; the outcome
 * arrives later as channel events. */
typedef int32_t (*pcoip_vchan_open_fn)(const char* name, uint32_t flags, uint32_t cfg,
                                       uint32_t max_pkt_size, pcoip_vchan_chan_cback cback,
                                       void* context, uint32_t* handle);
/* 6: `size` is the 16-byte header plus the payload. */
typedef int32_t (*pcoip_vchan_send_dgram_fn)(uint32_t handle, const void* dgram, uint32_t size,
                                             uint32_t timeout);
/* 8: copies one datagram of at most `size` bytes and stores its length in
 * *length; PCOIP_ERR_EMPTY when none is waiting. */
typedef int32_t (*pcoip_vchan_read_fn)(uint32_t handle, void* buffer, uint32_t size,
                                       uint32_t* length, uint32_t flags);
/* 10 */
typedef int32_t (*pcoip_vchan_get_num_rx_dgrams_fn)(uint32_t handle, uint32_t* count);
/* 14 */
typedef int32_t (*pcoip_vchan_get_state_by_name_fn)(const char* name, uint32_t* state,
                                                    uint32_t* registration,
                                                    uint32_t* max_pkt_size);
/* 15 */
typedef int32_t (*pcoip_vchan_get_max_dgram_size_fn)(uint32_t* max_dgram_size);
/* 16: may be null; the plug-in then writes its lines to standard output. */
typedef int32_t (*pcoip_vchan_log_fn)(const char* tag, int32_t level, int32_t code,
                                      const char* text);

/* An entry the plug-in never calls. */
typedef void (*pcoip_vchan_unused_fn)(void);

/* The host's interface table: 29 entries, numbered 0 to 28. */
typedef struct pcoip_vchan_intf {
  pcoip_vchan_unused_fn entry0;
  pcoip_vchan_register_connect_cback_fn register_connect_cback;     /* 1 */
  pcoip_vchan_unregister_connect_cback_fn unregister_connect_cback; /* 2 */
  pcoip_vchan_open_fn open;                                         /* 3 */
  pcoip_vchan_unused_fn entry4;
  pcoip_vchan_unused_fn entry5;
  pcoip_vchan_send_dgram_fn send_dgram; /* 6 */
  pcoip_vchan_unused_fn entry7;
  pcoip_vchan_read_fn read; /* 8 */
  pcoip_vchan_unused_fn entry9;
  pcoip_vchan_get_num_rx_dgrams_fn get_num_rx_dgrams; /* 10 */
  pcoip_vchan_unused_fn entry11;
  pcoip_vchan_unused_fn entry12;
  pcoip_vchan_unused_fn entry13;
  pcoip_vchan_get_state_by_name_fn get_state_by_name;   /* 14 */
  pcoip_vchan_get_max_dgram_size_fn get_max_dgram_size; /* 15 */
  pcoip_vchan_log_fn log;                               /* 16 */
  pcoip_vchan_unused_fn entry17;
  pcoip_vchan_unused_fn entry18;
  pcoip_vchan_unused_fn entry19;
  pcoip_vchan_unused_fn entry20;
  pcoip_vchan_unused_fn entry21;
  pcoip_vchan_unused_fn entry22;
  pcoip_vchan_unused_fn entry23;
  pcoip_vchan_unused_fn entry24;
  pcoip_vchan_unused_fn entry25;
  pcoip_vchan_unused_fn entry26;
  pcoip_vchan_unused_fn entry27;
  pcoip_vchan_unused_fn entry28;
} pcoip_vchan_intf;

#ifdef __cplusplus
static_assert(sizeof(pcoip_vchan_intf) == PCOIP_VCHAN_INTF_ENTRY_COUNT * sizeof(void*),
              "the host table is 29 pointer-sized entries");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(pcoip_vchan_intf) == PCOIP_VCHAN_INTF_ENTRY_COUNT * sizeof(void*),
               "the host table is 29 pointer-sized entries");
#endif

/* ---- entry points the plug-in exports ---- */
#if defined(_WIN32)
#if defined(KVX_BUILDING_PLUGIN)
#define PCOIP_VCHAN_PLUGIN_API __declspec(dllexport)
#else
#define PCOIP_VCHAN_PLUGIN_API
#endif
#else
#define PCOIP_VCHAN_PLUGIN_API __attribute__((visibility("default")))
#endif

/* 1 = ready, *context holds the plug-in context; 0 = failed, *context untouched. */
typedef int32_t (*pcoip_vchan_plugin_init_fn)(const pcoip_vchan_intf* vchan_intf, void* reserved,
                                              void** context);
/* Always 1. */
typedef int32_t (*pcoip_vchan_plugin_exit_fn)(void* context);
/* 1 = list replaced; 0 = count not positive (the list is then empty). */
typedef int32_t (*pcoip_vchan_plugin_receive_window_handles_fn)(int32_t count,
                                                                const uint64_t* handles);
/* Always 1. */
typedef int32_t (*pcoip_vchan_plugin_request_application_permissions_fn)(void);

PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_server_init(const pcoip_vchan_intf* vchan_intf,
                                                              void* reserved, void** context);
PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_client_init(const pcoip_vchan_intf* vchan_intf,
                                                              void* reserved, void** context);
PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_server_exit(void* context);
PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_client_exit(void* context);
PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_receive_window_handles(int32_t count,
                                                                         const uint64_t* handles);
PCOIP_VCHAN_PLUGIN_API int32_t pcoip_vchan_plugin_request_application_permissions(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PCOIP_VCHAN_HOST_H */
