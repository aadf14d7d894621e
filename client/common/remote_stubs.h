/* The client stubs: one `remote_<procedure>` for each of the 133 procedures
 * that clients of this system call (rows with role client in
 * procedure_list.h).
 *
 *   int16_t remote_sql_fetch(RpcHandle* h, void* server_statement);
 *   int32_t remote_server_get_info(RpcHandle* h, int32_t type,
 *                                  int32_t* length, void* buffer);
 *
 * Each takes the connection's RPC handle and then the client parameters of its
 * row's argument kinds in row order (table in procedure_kinds.h); the result
 * is the server's 16-bit SQLRETURN (32-bit for authenticate, server_get_info
 * and server_set_attribute), or -1 when the call could not be made. The rules
 * for out values are those of client_stub.h.
 *
 * Each stub is a constant pointer to one instantiation of the generic stub, so
 * it is called like a function: remote_sql_fetch(h, stmt). */
#ifndef KYVEK_CLIENT_COMMON_REMOTE_STUBS_H
#define KYVEK_CLIENT_COMMON_REMOTE_STUBS_H

#include "client_stub.h"
#include "procedure_list.h"

#define KY_REMOTE_STUB_client(name) \
  inline constexpr auto remote_##name = &::kyproc::client::Stub<::kyproc::rows::name>::call;
#define KY_REMOTE_STUB_server(name)
#define KY_REMOTE_STUB_spare(name)
#define KY_REMOTE_STUB(name, role, ...) KY_REMOTE_STUB_##role(name)
KY_PROCEDURE_LIST(KY_REMOTE_STUB)
#undef KY_REMOTE_STUB

#endif
