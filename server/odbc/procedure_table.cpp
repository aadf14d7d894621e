// The server's procedure table and its 147 stubs, all derived from
// procedure_list.h. Handlers are referred to weakly here only: a handler that
// no linked object defines is null and its stub answers through
// unimplemented_handler() (see handlers.h).
#include "procedure_table.h"

#include "handlers.h"
#include "server_stub.h"

namespace {

// The one handler of the four spare rows: takes no notice of its arguments.
int32_t spare_handler(const char*, ArgumentDescriptor*) { return -1; }

}  // namespace

extern "C" {

#define KY_WEAK_client(name) __attribute__((weak)) ::kyproc::HandlerFn<::kyproc::rows::name> name;
#define KY_WEAK_server(name) KY_WEAK_client(name)
#define KY_WEAK_spare(name)
#define KY_WEAK(name, role, ...) KY_WEAK_##role(name)
KY_PROCEDURE_LIST(KY_WEAK)
#undef KY_WEAK

#define KY_STUB_client(name)                                                          \
  void stub_##name(ArgumentDescriptor* args) {                                        \
    ::kyproc::server::serve<::kyproc::rows::name>(args, &name, &unimplemented_handler); \
  }
#define KY_STUB_server(name) KY_STUB_client(name)
#define KY_STUB_spare(name)                                                            \
  void stub_##name(ArgumentDescriptor* args) {                                         \
    ::kyproc::server::serve<::kyproc::rows::name>(args, nullptr, &spare_handler);      \
  }
#define KY_STUB(name, role, ...) KY_STUB_##role(name)
KY_PROCEDURE_LIST(KY_STUB)
#undef KY_STUB

#define KY_ARG(R, i) {R::flags(i), nullptr, 0, {}, {}}
#define KY_ARGS(R)                                                                       \
  {KY_ARG(R, 0),  KY_ARG(R, 1),  KY_ARG(R, 2),  KY_ARG(R, 3),  KY_ARG(R, 4),  KY_ARG(R, 5),  \
   KY_ARG(R, 6),  KY_ARG(R, 7),  KY_ARG(R, 8),  KY_ARG(R, 9),  KY_ARG(R, 10), KY_ARG(R, 11), \
   KY_ARG(R, 12), KY_ARG(R, 13), KY_ARG(R, 14), KY_ARG(R, 15), KY_ARG(R, 16), KY_ARG(R, 17), \
   KY_ARG(R, 18), KY_ARG(R, 19)}
#define KY_TABLE_ROW(name, ...) {#name, &stub_##name, KY_ARGS(::kyproc::rows::name), nullptr, 0, 0},

const FunctionDescriptor server_procedure_table[KY_PROCEDURE_COUNT + 1] = {
    KY_PROCEDURE_LIST(KY_TABLE_ROW){nullptr, nullptr, {}, nullptr, 0, 0}};

}  // extern "C"
