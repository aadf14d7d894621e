// Tracing of the driver: every line is gated by the process's trace mask and
// written by the shared trace log writer with the thread prefix.
#ifndef KYVEK_DRIVER_TRACE_H
#define KYVEK_DRIVER_TRACE_H

#include <cstdint>

#include "trace_log.h"

namespace kyvek::driver {

// The bits of trace_log.h. Single bits: any of them set. With kTraceInternal
// (internal functions): all bits set.
inline bool tracing(uint32_t bits) {
  uint32_t m = get_trace_mask();
  return (bits & kTraceInternal) ? (m & bits) == bits : (m & bits) != 0;
}

// Starts the trace log "kyvekclient.log" on the configuration source.
void start_trace_log();

}  // namespace kyvek::driver

#define TRACE(bits, ...)                                             \
  do {                                                               \
    if (::kyvek::driver::tracing(bits)) log_printf_tid(__VA_ARGS__); \
  } while (0)

#endif
