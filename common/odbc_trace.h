// Trace seam of the ODBC units shared by the server and the client driver:
// tests the process's trace mask and writes one line through the process's
// trace log writer. Lines are written only when every bit asked for is set.
#pragma once

#include <stdint.h>

#include "trace_log.h"

namespace kyvek::odbc {

// The trace bits are the process's (trace_log.h), named here too.
using ::kTraceDetail;
using ::kTraceDiag;
using ::kTraceEntry;
using ::kTraceExit;
using ::kTraceInternal;
using ::kTraceValues;
inline constexpr uint32_t kTraceBuffers = ::kTraceData;

bool trace_on(uint32_t bits);
// One line with the thread-id prefix; the format is the caller's own text.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kyvek::odbc

#define KY_TRACE(bits, ...)                                               \
  do {                                                                    \
    if (::kyvek::odbc::trace_on(bits)) ::kyvek::odbc::trace(__VA_ARGS__); \
  } while (0)
