// The per-connection record of a served client link. The worker allocates it
// zero-filled, attaches it to the RPC handle with RPCRegisterPrivatePtr(handle,
// record, 0) and frees it after the serving loop; request handlers read it
// through RPCGetPrivatePtr. It belongs to the worker thread of its connection.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct server_stats_t;
struct veks_handle_registry;

#define NET_CLIENT_ADDRESS_SIZE 33
#define NET_USER_NAME_SIZE 128
#define NET_DSN_SIZE 65

// op_flags1 bits.
enum { NET_OP_FAZE2 = 0x1 };  // the client pairs with the second scrambling variant

typedef struct net_connection_info_t {
  struct server_stats_t* stats;                  // statistics block, null when none
  char client_address[NET_CLIENT_ADDRESS_SIZE];  // dotted quad of the peer; "" when unknown
  char user_name[NET_USER_NAME_SIZE];            // set by authenticate
  char dsn[NET_DSN_SIZE];                        // set by sql_driver_connect (at most 64 characters)
  uint32_t op_flags1;                            // NET_OP_FAZE2
  // Handles issued on this link. Not owned here: the registry outlives this
  // record (the link's terminate callback frees it after the records it names).
  struct veks_handle_registry* handles;
} net_connection_info_t;

#ifdef __cplusplus
}  // extern "C"
#endif
