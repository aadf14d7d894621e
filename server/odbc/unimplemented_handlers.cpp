// The one place that answers procedures whose handlers are not linked in.
// Every such call returns SQL_ERROR (-1); its out arguments were zero-filled by
// the stub. When the procedure names a live server record (its first handle
// argument), a general error is posted on it, so the client can read why.
//
// The record functions are referred to weakly: a program without the record
// units (a test of the table alone) answers -1 without posting.
#include "handle_registry.h"
#include "handlers.h"
#include "server_diag.h"
#include "server_records.h"
#include "diag_post.h"
#include "trace_log.h"

#pragma weak veks_registry_current
#pragma weak veks_registry_has
#pragma weak veks_diag_of
#pragma weak veks_stmt_dbc
#pragma weak veks_post
#pragma weak clear_errors

namespace {

void* first_handle(const ArgumentDescriptor* args) {
  for (int i = 0; i < RPC_MAX_ARGS && args[i].flags != 0; ++i)
    if ((args[i].flags & (RPC_ARG_PTR | RPC_ARG_IN)) == (RPC_ARG_PTR | RPC_ARG_IN)) return args[i].value.ptr;
  return nullptr;
}

void post_not_implemented(const char* procedure, void* record) {
  if (!veks_registry_current || !veks_registry_has || !veks_diag_of || !veks_post || record == nullptr) return;
  veks_handle_registry* reg = veks_registry_current();
  if (reg == nullptr) return;
  for (int16_t kind = 1; kind <= 4; ++kind) {
    if (!veks_registry_has(reg, record, kind)) continue;
    diag_header* diags = veks_diag_of(kind, record);
    if (diags == nullptr) return;
    const connection_t* dbc = nullptr;
    if (kind == 2) dbc = static_cast<const connection_t*>(record);
    if (kind == 3 && veks_stmt_dbc) dbc = veks_stmt_dbc(static_cast<const statement_t*>(record));
    if (kind == 4) dbc = static_cast<const descriptor_t*>(record)->dbc;
    if (clear_errors) clear_errors(diags);
    veks_post(diags, dbc, "HY000", 0, "General error: %s is not available on this server", procedure);
    return;
  }
}

}  // namespace

int32_t unimplemented_handler(const char* procedure, ArgumentDescriptor* args) {
  if (trace_on(kTraceExit)) log_printf_tid("-%s()=SQL_ERROR (not implemented)\n", procedure);
  post_not_implemented(procedure, first_handle(args));
  return -1;
}
