// Handle allocation and release on the server ("sql_alloc_handle",
// "sql_free_handle"), pooled driver environments, and the clean-up that frees
// whatever a client link left behind when the link ends.
//
// Threading: handlers run on the worker of their link. Pool slots are guarded
// by one process-wide lock; a pooled environment's connection list by the
// environment's lock.
#pragma once

#include <stdint.h>
#include <sql.h>

#include "server_records.h"

#ifdef __cplusplus
extern "C" {
#endif

struct veks_handle_registry;

// Flags bits read here.
#define VEKS_FLAG_AUTHENTICATION_DISABLED 0x1u
#define VEKS_FLAG_MULTIPROCESS 0x4u
#define VEKS_FLAG_FREE_STMTS_ON_DISCONNECT 0x80u
#define VEKS_FLAG_CONNECTION_POOLING 0x800u
#define VEKS_FLAG_LOG_FAILING_SQL 0x1000u
#define VEKS_FLAG_ALLOW_DSN_BROWSE 0x8000u
#define VEKS_FLAG_NO_STATUS_ARRAY_RESIZE 0x10000u

// The Flags setting, read afresh through the process's policy (0 when it
// cannot be read).
uint32_t veks_flags(void);
// Pooling is on: ConnectionPooling set and MultiProcess clear.
int veks_pooling_on(uint32_t flags);

// Non-zero for a pooled environment that was handed out again to a later link.
int veks_env_reused(const environment_t* env);

// Frees what the link of an environment left on it: connections of this link
// (rolling back an open transaction first), their statements and descriptors,
// and, without pooling, the environment itself.
void veks_cleanup(void* environment);

// Terminate callback of a link (argument: the link's registry): cleans up every
// environment the link allocated, then frees the registry.
void veks_link_cleanup(void* registry);

// Disconnects a connection's driver link (rolling back when the driver refuses
// with "25000") and frees the driver connection handle.
void veks_release_driver_link(connection_t* dbc);

#ifdef __cplusplus
}  // extern "C"
#endif
