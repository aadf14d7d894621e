// Per-link registry of the handles the server issued to one client: each
// record's address with its kind. A value received from a peer is looked up
// here before the record is touched, so a freed handle, another connection's
// handle or a random value is refused without reading memory.
//
// A registry is created with the link's first environment (sql_alloc_handle),
// bound to the worker thread serving the link, and destroyed by the link's
// terminate callback after everything the link left has been freed. Handlers
// that receive no RPC handle find it through the thread binding; a thread with
// no binding has no valid handles.
//
// Threading: a registry has its own lock; the thread binding is thread-local.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct RpcHandle;
typedef struct veks_handle_registry veks_handle_registry;

veks_handle_registry* veks_registry_create(void);
// Frees the registry itself, not the records it names; unbinds it from the
// calling thread when bound there.
void veks_registry_destroy(veks_handle_registry* reg);

// 0 on success, -1 without memory. Re-adding a value replaces its kind.
int veks_registry_add(veks_handle_registry* reg, const void* record, int16_t kind);
void veks_registry_remove(veks_handle_registry* reg, const void* record);
// 1 when the value was issued on this registry with this kind.
int veks_registry_has(veks_handle_registry* reg, const void* record, int16_t kind);
// Copies up to max values of the kind into out; returns how many there are.
int64_t veks_registry_list(veks_handle_registry* reg, int16_t kind, void** out, int64_t max);

// Thread binding: the registry of the link the calling thread serves.
void veks_registry_bind(veks_handle_registry* reg);
veks_handle_registry* veks_registry_current(void);

// The registry of a link: taken from its per-connection record (RPCGetPrivatePtr),
// created on first use, given the link's terminate callback, and bound to the
// calling thread. Null for a null handle or without memory. With no
// per-connection record (a bare handle) the registry is kept by the callback alone.
veks_handle_registry* veks_registry_for_link(struct RpcHandle* rpc);

#ifdef __cplusplus
}  // extern "C"
#endif
