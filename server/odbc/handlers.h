// The request handlers: one per procedure of procedure_list.h (except the four
// spares), named after the procedure and declared here from the procedure's
// row, so a definition whose signature differs from its row does not compile.
//
// Calling convention. The server stub of the procedure (stub_<name>, built by
// server_stub.h) calls the handler with one or two parameters per argument of
// the row, in row order, and sends back what the handler returns:
//   rpc                    RpcHandle* of the connection (always first where present)
//   i16, i32               int16_t, int32_t value
//   len, ulen              SQLLEN, SQLULEN value
//   ptr                    void*: the server handle exactly as the client sent
//                          it; check it (kind and link) before reading through it
//   out_i16 ... out_ptr    pointer to a stub local of that type, zero on entry;
//                          its value after the call is sent back
//   desc / a16 a32 a64     int32_t length in bytes, then the data pointer (char*,
//   alen aulen             int16_t*, int32_t*, int64_t*, SQLLEN*, SQLULEN*); length
//                          0 comes with a null pointer; the data need not be
//                          NUL-terminated: never read past the length
//   out_desc / out_a16 ... int32_t* length (the capacity on entry: set it to the
//                          number of bytes to send back; text: length + 1 capped
//                          at the capacity; 0 on failure), then the buffer, which
//                          is zero-filled and null when the capacity is 0
//   text                   char*: NUL-terminated within the received block
//   a16_fix<N> ...         the data pointer alone; at least N bytes are there
//   out_*_fix<N>           the buffer alone, N bytes at least, zero-filled; the
//                          whole capacity is sent back
//   real_f, real_d         float, double value (the stub parsed the number text)
//   real_fa, real_da       int32_t count, then the values (float* or double*)
//   out_real_f, out_real_d float*, double* to a stub local
//   out_real_fa, _da       int32_t* count (how many fit; set it to how many were
//                          stored), then the value array
//   wv, out_wv             int32_t element count, then the wvarray elements (out:
//                          fill the elements' buffers in place)
//   result r16 / r32       the handler returns int16_t (SQLRETURN) / int32_t
// Every buffer belongs to the RPC library: write into out buffers, never free or
// replace any. A handler may throw (std::bad_alloc); the stub answers -1 and
// posts HY001 "Memory allocation error" on the record the call names.
// The row sql_get_env_attr_integer is served by the handler of that name.
//
// How to add a handler: in any server/odbc/*.cpp of the handler's unit,
//   #include "handlers.h"
//   extern "C" int16_t sql_fetch(void* stmt) { ... }
// with the parameter types above (SQLRETURN/SQLSMALLINT are int16_t,
// SQLINTEGER is int32_t). Include handlers.h in that file: it is what makes a
// mismatching signature a compile error (the handlers have C linkage). A
// handler on a record starts with the one prologue, enter<Rec>(handle,
// KY_HANDLER_NAME(sql_fetch), Diags::clear or Diags::keep) (handler_util.h),
// and leaves through leave(name, rc) or an exit line of its own.
//
// Every stub refers to its handler, so a handler that no object defines fails
// the link.
#pragma once

#include <stdint.h>

#include "procedure_list.h"

#define KY_HANDLER_DECL_client(name) ::kyproc::HandlerFn<::kyproc::rows::name> name;
#define KY_HANDLER_DECL_server(name) ::kyproc::HandlerFn<::kyproc::rows::name> name;
#define KY_HANDLER_DECL_spare(name)
#define KY_HANDLER_DECL(name, role, ...) KY_HANDLER_DECL_##role(name)
extern "C" {
KY_PROCEDURE_LIST(KY_HANDLER_DECL)
}
#undef KY_HANDLER_DECL

// Posts why a stub answers -1 without its handler's result (sqlstate and text,
// e.g. "HY001" "Memory allocation error") on the procedure's first server
// handle when it names a live record (stub_failures.cpp).
void post_stub_failure(const char* procedure, ArgumentDescriptor* args, const char* sqlstate, const char* text);
