// The one place that answers procedures whose handlers are not linked in.
// Every such call returns SQL_ERROR (-1); its out arguments were zero-filled by
// the stub.
#include <cstdio>

#include "handlers.h"
#include "trace_log.h"

int32_t unimplemented_handler(const char* procedure, ArgumentDescriptor* args) {
  (void)args;
  if (trace_on(kTraceExit)) log_printf_tid("-%s()=SQL_ERROR (not implemented)\n", procedure);
  return -1;
}
