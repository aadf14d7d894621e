// Trace seam of the ODBC units shared by the server and the client driver:
// tests the process's trace mask and writes one line through the process's
// trace log writer. Lines are written only when every bit asked for is set.
#pragma once

#include <stdint.h>

namespace kyvek::odbc {

// Trace bits.
inline constexpr uint32_t kTraceEntry = 0x1;
inline constexpr uint32_t kTraceExit = 0x2;
inline constexpr uint32_t kTraceDetail = 0x8;
inline constexpr uint32_t kTraceBuffers = 0x10;
inline constexpr uint32_t kTraceInternal = 0x20;
inline constexpr uint32_t kTraceDiag = 0x80;

bool trace_on(uint32_t bits);
// One line with the thread-id prefix; the format is the caller's own text.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kyvek::odbc

#define KY_TRACE(bits, ...)                                               \
  do {                                                                    \
    if (::kyvek::odbc::trace_on(bits)) ::kyvek::odbc::trace(__VA_ARGS__); \
  } while (0)
