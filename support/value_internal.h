// Cell helpers used by the operators of other units (not exported).
#ifndef KY_VALUE_INTERNAL_H
#define KY_VALUE_INTERNAL_H

#include <cstdint>

#include "ky_value.h"

namespace ky {

// Frees what the cell owns besides itself (a text or binary buffer that is
// not inline, the long buffer) and makes it a non-NULL cell of `type`.
void value_reset(Value& cell, int32_t type);

}  // namespace ky

#endif
