/* Server-only part of the exported interface of kyrpc (see kyrpc.h). */
#ifndef KYRPC_SERVER_H
#define KYRPC_SERVER_H

#include "kyrpc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Switches on the tracing that the client asked for in the handshake. Until
 * then a server handle traces nothing: the server calls this once the client
 * has logged on. 0, or 1 for a null handle. */
RPC_API int RPCPermitTracing(RpcHandle* h);

#ifdef __cplusplus
}
#endif

#endif
