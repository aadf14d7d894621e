// Tracing of the setup library: every line goes to "kyveksetup.log" through the
// shared trace log writer, and only while the trace mask is not 0 (any bit).
// The mask is read when ConfigDSN starts the log; in a process where ConfigDSN
// never ran (the driver calling the dialogs) nothing is traced.
// Passwords never reach a trace: callers pass them through masked().
#ifndef KYVEK_SETUP_TRACE_H
#define KYVEK_SETUP_TRACE_H

#include <string_view>

#include "trace_log.h"

namespace kyvek::setup {

inline bool tracing() { return get_trace_mask() != 0; }

#define SETUP_TRACE(...)                                        \
  do {                                                          \
    if (::kyvek::setup::tracing()) log_printf_tid(__VA_ARGS__); \
  } while (0)

// True for the keys whose values are passwords (shown masked in traces).
bool is_secret_key(std::string_view key);

// The value as it may appear in a trace: "*****" for a password key.
const char* masked(std::string_view key, const char* value);

}  // namespace kyvek::setup

#endif
