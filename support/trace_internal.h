// The library's trace mask (not exported).
#ifndef KY_TRACE_INTERNAL_H
#define KY_TRACE_INTERNAL_H

#include <cstdint>

namespace ky {

// Tests only: sets the mask that log_message tests callers' masks against.
void set_trace_mask(uint32_t mask);

}  // namespace ky

#endif
