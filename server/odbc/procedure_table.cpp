// The server's procedure table and its 147 stubs, all derived from
// procedure_list.h. Every stub refers to its handler, so a handler that no
// object defines fails the link.
#include "procedure_table.h"

#include "handlers.h"
#include "server_stub.h"

namespace {

// The one handler of the four spare rows: takes no notice of its arguments.
int32_t spare_handler(const char*, ArgumentDescriptor*) { return -1; }

}  // namespace

extern "C" {

#define KY_STUB_client(name)                                                                 \
  void stub_##name(ArgumentDescriptor* args) {                                               \
    ::kyproc::server::serve<::kyproc::rows::name>(args, &name, nullptr, &post_stub_failure); \
  }
#define KY_STUB_server(name) KY_STUB_client(name)
#define KY_STUB_spare(name)                                                       \
  void stub_##name(ArgumentDescriptor* args) {                                    \
    ::kyproc::server::serve<::kyproc::rows::name>(args, nullptr, &spare_handler); \
  }
#define KY_STUB(name, role, ...) KY_STUB_##role(name)
KY_PROCEDURE_LIST(KY_STUB)
#undef KY_STUB

#define KY_TABLE_ROW(name, ...) {#name, &stub_##name, KY_ROW_ARGS(::kyproc::rows::name), nullptr, 0, 0},

const FunctionDescriptor server_procedure_table[KY_PROCEDURE_COUNT + 1] = {
    KY_PROCEDURE_LIST(KY_TABLE_ROW){nullptr, nullptr, {}, nullptr, 0, 0}};

}  // extern "C"
