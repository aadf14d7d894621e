// Trace seam of the shared ODBC units, on the process's trace log writer.
#include "odbc_trace.h"

#include <cstdarg>

#include "trace_log.h"

namespace kyvek::odbc {

bool trace_on(uint32_t bits) { return ::trace_on(bits); }

void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vwrite(1, format, args);
  va_end(args);
}

}  // namespace kyvek::odbc
