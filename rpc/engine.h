// Internal entry points of the engine that the exported functions and the tests use.
#ifndef KYRPC_ENGINE_H
#define KYRPC_ENGINE_H

#include <memory>

#include "handle.h"

namespace kyrpc {

// Runs the handshake of the handle's role over an open connection (state 2 -> 4).
// Returns 0, or the error code with the connection closed and the handle back in
// state 2 (the connection's message kept as the handle's error text).
int connect_over(RpcHandle& h, std::unique_ptr<Connection> connection, int version, int minor_version,
                 const char* program_id);

// The handshake bodies; throw RpcFailure.
void server_handshake(RpcHandle& h);
void client_handshake(RpcHandle& h);

// Closes the connection, frees the selection and the name table; state 2.
void disconnect(RpcHandle& h);

// One served call (RPCRun's loop body): 0, or the error code.
int serve_one(RpcHandle& h);

// Keeps the connection's message as the handle's error text after a transport failure.
void keep_transport_text(RpcHandle& h, int code);

}  // namespace kyrpc

#endif
