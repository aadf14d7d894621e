/* The ODBC diagnostics area of one handle: a header with the return code,
 * row count and dynamic function code, and an ordered list of records, each
 * with SQLSTATE, native error, message and the ODBC 3 record fields. Headers
 * and records are nodes (ky_list.h) of kinds 300 and 301 in a pool; their
 * texts are copies in the same pool.
 *
 * Posting formats the caller's message and puts "[vendor]" in front of it as
 * data, so a '%' in the vendor text or in a posted message is kept as it is.
 * For owners of ODBC version 2 the SQLSTATE is translated to its ODBC 2
 * form. Reading follows SQLGetDiagRec and SQLGetDiagField. */
#ifndef KY_DIAG_H
#define KY_DIAG_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_handle.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

/* Vendor text of a record posted without one. */
#define KY_DIAG_VENDOR "Kyronde ODBC"
/* Origin kind 1 gives the class origin "ODBC 3.0", any other "ISO 9075". */
#define KY_ORIGIN_ODBC3 1
#define KY_ORIGIN_ISO 2

typedef struct ErrorRecord ErrorRecord;

struct ErrorRecord {
  int32_t node_kind; /* KY_NODE_ERROR_RECORD */
  int32_t origin_kind;
  int32_t column;
  char* vendor; /* reported as the connection name */
  char* message;
  int32_t native_error;
  int64_t row;
  char* sqlstate;
  char* subclass_origin;
  ErrorRecord* next;
};

struct ErrorHeader {
  int32_t node_kind; /* KY_NODE_ERROR_HEADER */
  int32_t dynamic_function_code;
  int16_t return_code;
  int32_t count;
  int32_t odbc_version;
  mem_handle* pool;
  ErrorRecord* first;
  ErrorRecord* last;
  int32_t row_count;
};

/* New empty header in pool with the owner's ODBC version (3 for a null
 * owner); null when memory runs out. */
KY_API ErrorHeader* CreateErrorHeader(mem_handle* pool, const ky_handle* owner);

/* Drops every record and stores the dynamic function code; return code and
 * row count become 0. */
KY_API void SetupErrorHeader(ErrorHeader* header, int32_t dynamic_function_code);

/* Stores the row count. */
KY_API void SetErrorCount(ErrorHeader* header, int32_t row_count);

/* Stores the return code and returns it. */
KY_API int16_t SetReturnCode(ErrorHeader* header, int16_t return_code);

/* Appends a record whose message is "[vendor]" followed by the expanded
 * format (vendor "Kyronde ODBC" when null). Returns the stored message, or
 * null when the record cannot be allocated (nothing is appended then). */
KY_API char* PostError(ErrorHeader* header, int32_t origin_kind, int32_t column, const char* vendor,
                       int32_t native_error, int64_t row, const char* subclass_origin, const char* sqlstate,
                       const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 9, 10)))
#endif
    ;

/* For a handle record (node kind 200, 201 or 202) with a diagnostics area:
 * sets its return code to -1 and posts the message as it is (origin kind 2,
 * column 0, row 0, subclass origin "ISO 9075"). Other objects are left
 * alone. Returns the stored message or null. */
KY_API char* PostDalError(void* object, const char* vendor, int32_t native_error, const char* sqlstate,
                          const char* message);

/* Drops every record and returns the header to its pool. */
KY_API void FreeErrorHeader(ErrorHeader* header);

/* Record `number` (1 = first): -1 for a number below 1 or a null header,
 * 100 beyond the count; else the SQLSTATE (6 bytes with its NUL) and native
 * error to the optional outs and the message copied with the ODBC rule:
 * 0 when whole, 1 when cut (len_out gets the full length). */
KY_API int GetDiagRec(ErrorHeader* header, int32_t number, char* sqlstate_out, int32_t* native_out, char* message,
                      int32_t capacity, int16_t* len_out);

/* One field of SQLGetDiagField (handle type 1-4 as in ODBC); record fields
 * need a number of 1 or more. 100 for a number beyond the count; -1 for a
 * negative number or a null header, record 0 with a record field, a field
 * that the handle type does not have or an unknown identifier; else 0, or
 * for texts the result of the ODBC copy (1 when cut). Numeric fields are
 * written as SQLSMALLINT (return code), SQLINTEGER (number, native error,
 * column number, dynamic function code) or SQLLEN (row counts, row number). */
KY_API int GetDiagField(int32_t handle_type, ErrorHeader* header, int32_t number, int32_t identifier, void* out,
                        int32_t capacity, int16_t* len_out);

KY_EXTERN_C_END

#endif
