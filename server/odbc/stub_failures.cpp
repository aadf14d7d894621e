// What a stub posts when its call fails before or inside the handler (no
// memory for a temporary array or inside the handler): a diagnostic on the
// record the call names (its first handle argument) when that is a live
// server record of this link, so the client can read why the call answered
// SQL_ERROR. Runs on the link's worker thread, like the handler it replaces.
#include "handle_registry.h"
#include "handlers.h"
#include "server_diag.h"
#include "server_records.h"
#include "diag_post.h"
#include "trace_log.h"

namespace {

void* first_handle(const ArgumentDescriptor* args) {
  for (int i = 0; i < RPC_MAX_ARGS && args[i].flags != 0; ++i)
    if ((args[i].flags & (RPC_ARG_PTR | RPC_ARG_IN)) == (RPC_ARG_PTR | RPC_ARG_IN)) return args[i].value.ptr;
  return nullptr;
}

}  // namespace

void post_stub_failure(const char* procedure, ArgumentDescriptor* args, const char* sqlstate, const char* text) {
  if (trace_on(kTraceExit)) log_printf_tid("-%s()=SQL_ERROR (%s)\n", procedure, text);
  void* record = first_handle(args);
  if (record == nullptr) return;
  veks_handle_registry* reg = veks_registry_current();
  if (reg == nullptr) return;
  for (int16_t kind = 1; kind <= 4; ++kind) {
    if (!veks_registry_has(reg, record, kind)) continue;
    diag_header* diags = veks_diag_of(kind, record);
    if (diags == nullptr) return;
    const connection_t* dbc = nullptr;
    if (kind == 2) dbc = static_cast<const connection_t*>(record);
    if (kind == 3) dbc = veks_stmt_dbc(static_cast<const statement_t*>(record));
    if (kind == 4) dbc = static_cast<const descriptor_t*>(record)->dbc;
    veks_post(diags, dbc, sqlstate, 0, "%s", text);
    return;
  }
}
