/* The support library's trace entry. A line is written only when the
 * caller's mask shares a bit with the library's trace mask, which is 0, so
 * in normal use every call returns at once.
 *
 * A written line goes to the file named by value "log_file" of configuration
 * section "settings" (appended), or to standard error: "[pid]file@line"
 * padded to 30 characters, ":", the format with its own conversions, "\n".
 * Conversions after '%': I int32; U uint32; u and i 16-bit unsigned and
 * signed; p and h a pointer; s a text as "%p->%s"; S a text and its 16-bit
 * length ("text"{n}, {SQL_NTS} for -3); *I a pointer to an int32; *h a
 * pointer to a pointer; *S a text and a pointer to its 16-bit length; e an
 * ODBC return code by name. Other characters after '%' are dropped. */
#ifndef KY_TRACE_H
#define KY_TRACE_H

#include <stdint.h>

#include "ky_api.h"

KY_EXTERN_C_BEGIN

KY_API void log_message(const char* file, int32_t line, uint32_t mask, const char* format, ...);

KY_EXTERN_C_END

#endif
