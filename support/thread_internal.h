// The clock of the time-out check (not exported).
#ifndef KY_THREAD_INTERNAL_H
#define KY_THREAD_INTERNAL_H

#include <cstdint>

namespace ky {

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonic_ms();

// Tests only: check_timeout reads `clock` instead (null restores the
// monotonic clock).
void set_timeout_clock(int64_t (*clock)());

}  // namespace ky

#endif
