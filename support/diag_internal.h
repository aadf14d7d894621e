// Posting from other units of the library (not exported).
#ifndef KY_DIAG_INTERNAL_H
#define KY_DIAG_INTERNAL_H

#include "ky_handle.h"
#include "sqlstate.h"

namespace ky {

// Ends an evaluation with an error: when the context names a statement with
// a diagnostics area, sets its return code to -1 and posts the record
// (origin kind 2); marks the context failed. Returns -1. A null context
// only returns -1.
int eval_error(ky_eval_context* ctx, const char* sqlstate, const char* message, const char* subclass_origin);
// The same with the state's text from the table.
inline int eval_error(ky_eval_context* ctx, const kyvek::sqlstate::Row& state, const char* subclass_origin) {
  return eval_error(ctx, state.state, state.text, subclass_origin);
}

}  // namespace ky

#endif
